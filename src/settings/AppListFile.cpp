#include "settings/AppListFile.h"

#include "common/modGlobal.h"
#include "platform/Platform.h"

#include <algorithm>

namespace settings {

std::string AppListContent(const std::vector<std::string>& names) {
    return modGlobal::CrLfLines(names);
}

bool WriteAppListFile(const std::string& path, const std::vector<std::string>& names) {
    // Whatever is in the file's place and could not be read (a pipe, a file too big or too
    // long to be one of ours) is left alone; a link is written through, so the list may
    // live elsewhere.
    switch (platform::TextFileAt(path)) {
    case platform::TextFile::Unusable:
        return false;
    case platform::TextFile::Readable:
        if (!ReadAppListFile(path)) {
            return false;
        }
        break;
    case platform::TextFile::Absent:
        break;
    }
    return platform::ReplaceFile(path, platform::ToFileText(AppListContent(names)), true);
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
    const std::optional<std::string> data = platform::FromFileText(*bytes);
    const bool openLast = !data->empty() && data->back() != '\n';
    if (static_cast<std::size_t>(std::count(data->begin(), data->end(), '\n')) + openLast >
        kMaxAppListLines) {
        return std::nullopt;
    }
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < data->size()) {
        std::size_t end = data->find('\n', start);
        const std::size_t next = end == std::string::npos ? data->size() : end + 1;
        if (end == std::string::npos) {
            end = data->size();
        }
        if (end > start && (*data)[end - 1] == '\r') {
            --end;
        }
        lines.emplace_back(*data, start, end - start);
        start = next;
    }
    return lines;
}

} // namespace settings
