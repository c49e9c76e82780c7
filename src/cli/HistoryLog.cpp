#include "cli/HistoryLog.h"

#include "operations/StatusText.h"
#include "platform/Platform.h"

#include <algorithm>

namespace cli {

namespace {

// The line every run begins with: the header's rule and title (a status line starts with
// its time of day, the statistics rule with "Statistics").
bool StartsRun(const std::string& line) {
    return line.starts_with(std::string(operations::kRuleOpen) + "Dittoly UA - ");
}

// The run's lines, each app's reason after its status line when that ends in "<Error>". The
// header comes first, then the status lines of the apps in their order. A reason is one
// line, whatever text reached it.
std::vector<std::string> WithReasons(const operations::RunResult& result) {
    std::vector<std::string> lines;
    for (std::size_t i = 0; i < result.lines.size(); ++i) {
        lines.push_back(result.lines[i]);
        if (i == 0 || i > result.outcomes.size() || !lines.back().ends_with(operations::kError)) {
            continue;
        }
        std::string reason = result.outcomes[i - 1].reason;
        std::replace_if(
            reason.begin(), reason.end(), [](char c) { return c == '\r' || c == '\n'; }, ' ');
        lines.push_back(kReasonLead + reason);
    }
    return lines;
}

} // namespace

bool AppendToHistoryLog(const modGlobal::Roots& roots, const operations::RunResult& result) {
    if (!modGlobal::FolderExists(roots.BackupDir())) {
        return true;
    }
    // Read, cut and written again as a whole: runs that end together take turns, so none
    // loses another's lines. A run waits for one ahead of it, which holds the lock for the
    // moment of its own write.
    platform::FileLock lock;
    std::string holder;
    if (platform::LockFile({roots.BackupDir(), {kHistoryLockName}}, platform::ThisProcess(),
                           60 * 1000, lock, holder) != 0) {
        return false;
    }
    const std::string path = roots.BackupDir() + kHistoryLogName;
    std::vector<std::string> lines;
    switch (platform::TextFileAt(path)) {
    case platform::TextFile::Absent:
        break;
    case platform::TextFile::Readable: {
        const auto bytes = platform::ReadWholeFile(path);
        if (!bytes) {
            return false;
        }
        const std::string text = platform::FromFileText(*bytes);
        for (std::size_t start = 0; start < text.size();) {
            std::size_t end = text.find('\n', start);
            end = end == std::string::npos ? text.size() : end;
            const bool cr = end > start && text[end - 1] == '\r';
            lines.push_back(text.substr(start, end - start - (cr ? 1 : 0)));
            start = end + 1;
        }
        break;
    }
    case platform::TextFile::Unusable:
        return false;
    }
    // Back from the end, whole runs while they fit beside the new one.
    const std::vector<std::string> run = WithReasons(result);
    std::size_t size = 0;
    for (const std::string& line : run) {
        size += line.size() + 2;
    }
    std::size_t keepFrom = lines.size();
    std::size_t runSize = 0;
    for (std::size_t i = lines.size(); i-- > 0;) {
        runSize += lines[i].size() + 2;
        if (StartsRun(lines[i]) || i == 0) {
            if (size + runSize > kHistoryLogBytes) {
                break;
            }
            size += runSize;
            runSize = 0;
            keepFrom = i;
        }
    }
    lines.erase(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(keepFrom));
    lines.insert(lines.end(), run.begin(), run.end());
    return platform::ReplaceFile(path, platform::ToFileText(modGlobal::CrLfLines(lines)));
}

} // namespace cli
