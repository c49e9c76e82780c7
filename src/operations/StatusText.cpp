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

std::string UpperCase(std::string text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return text;
}

} // namespace operations
