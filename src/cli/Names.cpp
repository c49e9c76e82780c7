#include "cli/Names.h"

#include <QCoreApplication>

#ifdef _WIN32
#include "platform/WinText.h"
#endif

namespace cli {

namespace {

constexpr char kHex[] = "0123456789ABCDEF";

bool Continuation(unsigned char byte) {
    return (byte & 0xC0) == 0x80;
}

// The length of the valid UTF-8 character at `at`, or 0 when the byte there starts none.
std::size_t CharacterLength(std::string_view text, std::size_t at) {
    const auto byte = [&](std::size_t i) {
        return at + i < text.size() ? static_cast<unsigned char>(text[at + i]) : 0;
    };
    const unsigned char lead = byte(0);
    if (lead < 0x80) {
        return 1;
    }
    // The second byte's range depends on the lead: it rules out overlong forms,
    // surrogates and code points above U+10FFFF.
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    std::size_t length = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (byte(1) < low || byte(1) > high) {
        return 0;
    }
    for (std::size_t i = 2; i < length; ++i) {
        if (!Continuation(byte(i))) {
            return 0;
        }
    }
    return length;
}

int HexValue(char digit) {
    for (int value = 0; value < 16; ++value) {
        if (kHex[value] == digit) {
            return value;
        }
    }
    return -1;
}

#ifdef _WIN32
// UTF-16 as WTF-8, as the platform layer writes names: an unpaired surrogate keeps its
// own three bytes.
std::string Wtf8(const QString& text) {
    return platform::win::Narrow(std::wstring_view(reinterpret_cast<const wchar_t*>(text.utf16()),
                                                   static_cast<std::size_t>(text.size())));
}
#endif

} // namespace

bool IsUtf8(std::string_view bytes) {
    for (std::size_t i = 0; i < bytes.size();) {
        const std::size_t length = CharacterLength(bytes, i);
        if (length == 0) {
            return false;
        }
        i += length;
    }
    return true;
}

std::string EscapeName(std::string_view bytes) {
    std::string out;
    for (std::size_t i = 0; i < bytes.size();) {
        const std::size_t length = bytes[i] == '/' ? 0 : CharacterLength(bytes, i);
        if (length > 0) {
            out += bytes.substr(i, length);
            i += length;
            continue;
        }
        const auto byte = static_cast<unsigned char>(bytes[i++]);
        out += "/x";
        out += kHex[byte >> 4];
        out += kHex[byte & 0x0F];
    }
    return out;
}

std::optional<std::string> UnescapeName(std::string_view text) {
    std::string name;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '/') {
            name += text[i];
            continue;
        }
        const int high = i + 3 < text.size() && text[i + 1] == 'x' ? HexValue(text[i + 2]) : -1;
        const int low = high < 0 ? -1 : HexValue(text[i + 3]);
        if (low < 0) {
            return std::nullopt;
        }
        name += static_cast<char>(high * 16 + low);
        i += 3;
    }
    // Only the one form of each name: "/x41" for "A" would be a second.
    if (EscapeName(name) != text) {
        return std::nullopt;
    }
    return name;
}

QString NameText(std::string_view bytes) {
    const std::string escaped = EscapeName(bytes);
    return QString::fromUtf8(escaped.data(), static_cast<qsizetype>(escaped.size()));
}

QStringList Arguments(int argc, char** argv) {
    QStringList arguments;
#ifdef _WIN32
    static_cast<void>(argc);
    static_cast<void>(argv);
    for (const QString& argument : QCoreApplication::arguments()) {
        const std::string bytes = Wtf8(argument);
        arguments.append(IsUtf8(bytes) ? argument : NameText(bytes));
    }
#else
    for (int i = 0; i < argc; ++i) {
        const std::string_view bytes = argv[i];
        arguments.append(IsUtf8(bytes) ? QString::fromUtf8(bytes.data(), std::ssize(bytes))
                                       : NameText(bytes));
    }
#endif
    return arguments;
}

} // namespace cli
