#include "operations/StatusText.h"

namespace operations {

std::string HeaderLine(const std::string& titleLiteral, const std::string& longDate) {
    return std::string(kRuleOpen) + titleLiteral + longDate + kRuleClose;
}

std::vector<std::string> StatisticsLines(const std::string& countLabel,
                                         const std::string& countText) {
    return {std::string(kRuleOpen) + "Statistics" + kRuleClose, countLabel + countText,
            kClosingRule};
}

std::string CopyLine(const std::string& appText, const std::string& word, const std::string& source,
                     const std::string& destination, bool ok) {
    return appText + " |" + word + "[from] " + source + " [to] " + destination + "  " +
           (ok ? kOk : kError);
}

std::string DeleteLine(const std::string& appText, const std::string& word, const std::string& path,
                       bool ok) {
    return appText + " |" + word + path + " " + (ok ? kOk : kError);
}

std::string StampedLine(const std::string& timeOfDay, const std::string& text) {
    return timeOfDay + " " + text;
}

std::string LogSavedLine(const std::string& backupDir, bool ok) {
    return "Log saved to " + backupDir + " " + (ok ? kOk : kError);
}

std::string StoppedLine(std::string reason, std::size_t undone, std::size_t apps) {
    if (!reason.empty() && reason[0] >= 'a' && reason[0] <= 'z') {
        reason[0] = static_cast<char>(reason[0] - 'a' + 'A');
    }
    return reason + ": " + std::to_string(undone) + " of " + std::to_string(apps) +
           (apps == 1 ? " app" : " apps") + " left undone.";
}

bool IsPlainFolderName(const std::string& name) {
    if (name.empty() || name == "." || name == "..") {
        return false;
    }
    for (const char c : name) {
        if (c == '/' || c == '\\' || c == '\0') {
            return false;
        }
    }
    return true;
}

std::size_t Utf8CharacterLength(std::string_view text, std::size_t at) {
    const auto byte = [&](std::size_t i) {
        return at + i < text.size() ? static_cast<unsigned char>(text[at + i]) : 0;
    };
    const unsigned char lead = byte(0);
    if (lead < 0x80) {
        return 1;
    }
    // The second byte's range depends on the lead: it rules out overlong forms, surrogates
    // and code points above U+10FFFF.
    const std::size_t length = lead >= 0xC2 && lead <= 0xDF   ? 2
                               : lead >= 0xE0 && lead <= 0xEF ? 3
                               : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                              : 0;
    const unsigned char low = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
    const unsigned char high = lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
    if (length == 0 || byte(1) < low || byte(1) > high) {
        return 0;
    }
    for (std::size_t i = 2; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80) {
            return 0;
        }
    }
    return length;
}

std::string EscapeBytes(std::string_view bytes, bool (*alsoEscaped)(unsigned char)) {
    std::string text;
    for (std::size_t i = 0; i < bytes.size();) {
        const auto lead = static_cast<unsigned char>(bytes[i]);
        const std::size_t length = alsoEscaped(lead) ? 0 : Utf8CharacterLength(bytes, i);
        if (length > 0) {
            text += bytes.substr(i, length);
            i += length;
            continue;
        }
        const auto byte = static_cast<unsigned char>(bytes[i++]);
        text += "/x";
        text += kHexDigits[byte >> 4];
        text += kHexDigits[byte & 0x0F];
    }
    return text;
}

std::string ReadableText(std::string_view bytes) {
    return EscapeBytes(bytes, [](unsigned char byte) { return byte < 0x20 || byte == 0x7F; });
}

std::string UpperCase(std::string text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return text;
}

} // namespace operations
