#include "settings/AppListFile.h"

#include "platform/Platform.h"
#include "start/modGlobal.h"

namespace settings {

std::string AppListContent(const std::vector<std::string>& names) {
    return modGlobal::CrLfLines(names);
}

bool WriteAppListFile(const std::string& path, const std::vector<std::string>& names) {
    return platform::ReplaceFile(path, platform::ToFileText(AppListContent(names)));
}

std::optional<std::vector<std::string>> ReadAppListFile(const std::string& path) {
    // A hidden file is not seen by the lookup the file is found with: the folder's
    // listing tells, by this system's rule.
    const auto slash = path.find_last_of(platform::kSep);
    const std::string leaf = slash == std::string::npos ? path : path.substr(slash + 1);
    bool hidden = false;
    platform::ListFolder(path.substr(0, slash + 1),
                         [&](std::string_view name, platform::EntryKind kind) {
                             hidden = name == leaf && kind == platform::EntryKind::Hidden;
                             return name != leaf;
                         });
    if (leaf.empty() || hidden || !platform::IsFile(path)) {
        return std::nullopt;
    }
    const auto bytes = platform::ReadWholeFile(path);
    if (!bytes) {
        return std::nullopt;
    }
    const std::string data = platform::FromFileText(*bytes);
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < data.size()) {
        std::size_t end = data.find('\n', start);
        const std::size_t next = end == std::string::npos ? data.size() : end + 1;
        if (end == std::string::npos) {
            end = data.size();
        }
        if (end > start && data[end - 1] == '\r') {
            --end;
        }
        lines.emplace_back(data, start, end - start);
        start = next;
    }
    return lines;
}

} // namespace settings
