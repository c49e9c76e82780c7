#include "operations/RunFrame.h"

#include "operations/StatusText.h"
#include "platform/Platform.h"

#include <cerrno>
#include <initializer_list>
#include <optional>

namespace operations {

namespace {

using platform::Below;
using platform::kSepStr;

const OperationTexts kTexts[] = {
    {"Backup", "Dittoly UA - Backup process - ", "Backup complete.",
     "Total Apps backed up: ", services::MB_ICONINFORMATION, false, false},
    {"Restore", "Dittoly UA - Restore process - ", "Restore complete.",
     "Total Apps restored: ", services::MB_ICONINFORMATION, false, false},
    {"Normal Reset", "Dittoly UA - Reset process - ", "Reset complete.",
     "Total Apps reseted: ", services::MB_ICONINFORMATION, true, true},
    {"Hard Reset", "Dittoly UA - Hard Reset process - ", "Hard Reset complete.",
     "Total Apps reseted: ", services::MB_ICONEXCLAMATION, true, true},
    {"Clear App Cache", "Dittoly UA - Clear App Cache process - ", "Clear App Cache complete.",
     "Total Apps cleared: ", services::MB_ICONINFORMATION, true, true},
    {"Clear App Store Cache", "Dittoly UA - Clear App Store Cache process - ",
     "Clear App Store Cache complete.", "Total Apps cleared: ", services::MB_ICONINFORMATION, true,
     false},
};

std::string ItemLines(std::initializer_list<const char*> items) {
    std::string text;
    for (const char* item : items) {
        text += "\r\n" + UpperCase(item);
    }
    return text;
}

// The log of one run as it grows: every line goes to the host as it is written.
class Log {
public:
    Log(services::Clock& clock, RunHost& host) : clock_(clock), host_(host) {}

    void Header(const std::string& text) {
        lines_.push_back(text);
        host_.AddLine(text, false);
    }
    void Status(const std::string& text) {
        lines_.push_back(StampedLine(clock_.TimeOfDay(), text));
        host_.AddLine(lines_.back(), true);
    }
    // The lines so far go to the log file, when BackupDir exists, and the line that says
    // so follows them in the list only.
    bool Save(const modGlobal::Roots& roots) {
        if (!modGlobal::FolderExists(roots.BackupDir())) {
            return true;
        }
        const bool saved = platform::ReplaceFile(
            roots.LogFile(), platform::ToFileText(modGlobal::CrLfLines(lines_)));
        Status(LogSavedLine(roots.BackupDir(), saved));
        return saved;
    }
    std::vector<std::string> Take() { return std::move(lines_); }

private:
    services::Clock& clock_;
    RunHost& host_;
    std::vector<std::string> lines_;
};

// One app's copy or delete: the paths as the status line prints them, the folder the work
// reads or removes, and the work.
struct Step {
    const char* word;
    std::string shownPath;        // the source of a copy, the path of a delete
    std::string shownDestination; // copies only
    Below subject;
    std::function<int(platform::TreeProgress*)> work;
};

Step StepFor(Operation op, const std::string& package, const modGlobal::Roots& roots,
             const RunOptions& options, std::int64_t now) {
    const std::string packagesRoot = roots.PackagesRoot();
    const std::string packageFolder = packagesRoot + kSepStr + package;
    const Below inPackages{packagesRoot, {package}};
    const Below settings{packagesRoot, {package, "Settings"}};
    const int keep = options.keep;
    switch (op) {
    case Operation::Backup: {
        const Below backup{roots.BackupDir(), {package}};
        return {kWordBackup, packageFolder + kSepStr + "Settings" + kSepStr,
                roots.BackupDir() + package + kSepStr, settings,
                [=](platform::TreeProgress* progress) {
                    platform::MakeFolderChain(backup);
                    history::Tidy(roots, package);
                    platform::CopyOptions copy{std::nullopt, progress};
                    const auto made = history::LatestTime(roots, package);
                    if (keep > 0 && made) {
                        copy.keep = history::EntryFolder(
                            roots, package,
                            history::NewId(roots, package, *made, history::Kind::Backup));
                    }
                    const Below latest{roots.BackupDir(), {package, "Settings"}};
                    const auto before = platform::InspectFolder(latest);
                    const int result = platform::CopyTree(settings, backup, copy);
                    // A new copy in place gets its time, even one that left a link out.
                    const auto after = platform::InspectFolder(latest);
                    if (after && (!before || before->identity != after->identity)) {
                        history::RecordLatest(roots, package, now);
                    }
                    if (result == 0) {
                        history::Prune(roots, package, keep);
                    }
                    return result;
                }};
    }
    case Operation::Restore: {
        Below source{roots.BackupDir(), {package, "Settings"}};
        std::string shown = roots.BackupDir() + package + kSepStr;
        if (!options.restoreFrom.empty()) {
            source.names = {package, "History", options.restoreFrom, "Settings"};
            shown += std::string("History") + kSepStr + options.restoreFrom + kSepStr;
        }
        return {kWordRestore, shown + "Settings" + kSepStr, packageFolder, source,
                [=](platform::TreeProgress* progress) {
                    platform::MakeFolderChain(inPackages);
                    history::Tidy(roots, package);
                    platform::CopyOptions copy{std::nullopt, progress};
                    if (keep > 0 && platform::StateOf(packageFolder + kSepStr + "Settings") ==
                                        platform::PathState::Folder) {
                        copy.keep = history::EntryFolder(
                            roots, package,
                            history::NewId(roots, package, now, history::Kind::BeforeRestore));
                    }
                    const int result = platform::CopyTree(source, inPackages, copy);
                    if (result == 0) {
                        history::Prune(roots, package, keep);
                    }
                    return result;
                }};
    }
    case Operation::Reset:
        return {kWordReset,
                packageFolder + kSepStr + "Settings",
                {},
                settings,
                [=](platform::TreeProgress* progress) {
                    return platform::RemoveTree(settings, progress);
                }};
    case Operation::HardReset:
        return {
            kWordHardReset, packageFolder, {}, inPackages, [=](platform::TreeProgress* progress) {
                return platform::RemoveTree(inPackages, progress);
            }};
    default: {
        const Below cache{packagesRoot, {package, "LocalCache"}};
        return {kWordClearAppCache,
                packageFolder + kSepStr + "LocalCache",
                {},
                cache,
                [=](platform::TreeProgress* progress) {
                    const int result = platform::RemoveTree(cache, progress);
                    // One level only: a package folder that is gone is not brought back.
                    platform::MakeFolder(cache);
                    return result;
                }};
    }
    }
}

std::string StepLine(const Step& step, const std::string& appText, bool ok) {
    return step.shownDestination.empty()
               ? DeleteLine(appText, step.word, step.shownPath, ok)
               : CopyLine(appText, step.word, step.shownPath, step.shownDestination, ok);
}

// Reports a step's progress to the host and passes its wish to stop back to the work.
class Watch : public platform::TreeProgress {
public:
    explicit Watch(RunHost& host) : host_(host) {}
    platform::TreeSize total;
    platform::TreeSize done;
    bool Advance(std::uint64_t files, std::uint64_t bytes) override {
        done = {files, bytes};
        host_.Progress(done, total);
        return !host_.StopRequested();
    }

private:
    RunHost& host_;
};

// The folder a copy replaces: the latest backup for a Backup, the live Settings for a
// Restore; none for a delete.
std::optional<Below> ReplacedBy(Operation op, const std::string& package,
                                const modGlobal::Roots& roots) {
    if (op == Operation::Backup) {
        return Below{roots.BackupDir(), {package, "Settings"}};
    }
    if (op == Operation::Restore) {
        return Below{roots.PackagesRoot(), {package, "Settings"}};
    }
    return std::nullopt;
}

// What stands in the way of a step, in words a user can act on, looked at on the disk as it
// is: a name refused, a link on the way, a folder that is not there. Ok when nothing does.
AppOutcome Refusal(Operation op, const std::string& package, const Step& step,
                   const modGlobal::Roots& roots) {
    using platform::PathState;
    using platform::StateOf;
    const auto error = [](std::string reason) {
        return AppOutcome{AppResult::Error, std::move(reason), {}};
    };
    if (!IsPlainFolderName(package)) {
        return error("refused: not a plain folder name");
    }
    const auto replaced = ReplacedBy(op, package, roots);
    if (StateOf(roots.PackagesRoot() + kSepStr + package) == PathState::Link) {
        return error("refused: the package folder is a link");
    }
    if (replaced && StateOf(roots.BackupDir() + package) == PathState::Link) {
        return error("refused: the backup folder is a link");
    }
    if (replaced && StateOf(platform::PathOf(*replaced)) == PathState::Link) {
        return error(op == Operation::Backup ? "refused: the latest backup is a link"
                                             : "refused: the Settings folder is a link");
    }
    const std::string what = op == Operation::Restore ? "the backup"
                             : op == Operation::HardReset
                                 ? "the package folder"
                                 : "the " + step.subject.names.back() + " folder";
    switch (StateOf(platform::PathOf(step.subject))) {
    case PathState::Missing:
        return op == Operation::Restore
                   ? error("no backup to restore")
                   : AppOutcome{AppResult::NothingToDo,
                                op == Operation::Backup ? "no Settings folder to back up"
                                                        : "no " + what.substr(4) + " to delete",
                                {}};
    case PathState::Link:
        return error("refused: " + what + " is a link");
    case PathState::Other:
        return error("refused: " + what + " is not a folder");
    case PathState::Folder:
        break;
    }
    return {};
}

// Why a step failed: what stood in the way, else what the copy left out, else the
// system's words. `systemText` is the system's words for `code`, taken on the thread that
// did the work (on Windows they belong to that thread's last error).
AppOutcome Judge(Operation op, int code, const std::string& package, const Step& step,
                 const modGlobal::Roots& roots, const std::string& systemText) {
    if (code == 0) {
        return {};
    }
    if (AppOutcome refused = Refusal(op, package, step, roots); refused.result != AppResult::Ok) {
        return refused;
    }
    const bool copy = ReplacedBy(op, package, roots).has_value();
    if (copy && (code == ELOOP || code == EXDEV || code == EINVAL)) {
        return {AppResult::Error,
                "links, mount points and special files inside are never copied, and were "
                "left out",
                {}};
    }
    if (code == ELOOP || code == EXDEV) {
        return {AppResult::Error, "refused: a folder on the way is a link or a mount point", {}};
    }
    return {AppResult::Error, systemText, {}};
}

} // namespace

StepPlan PlanStep(Operation op, const std::string& package, const modGlobal::Roots& roots,
                  const RunOptions& options) {
    const Step step = StepFor(op, package, roots, options, 0);
    return {step.subject, ReplacedBy(op, package, roots), Refusal(op, package, step, roots)};
}

const OperationTexts& TextsOf(Operation op) {
    return kTexts[static_cast<std::size_t>(op)];
}

std::string Prompt(Operation op, int ticked, const modGlobal::Roots& roots) {
    switch (op) {
    case Operation::Backup:
        return "Do you want to run the Backup?\r\n(" + std::to_string(ticked) + " Apps to " +
               roots.BackupDir() + ")";
    case Operation::Restore:
        return "Do you want to run the Restoration?";
    case Operation::Reset:
        return "Do you want to Reset the configuration of selected apps to factory defaults?"
               "\r\n\r\nFollowing data will be deleted" +
               ItemLines({"- Settings files"});
    case Operation::HardReset:
        return "Do you want to clear all data of selected apps?\r\n\r\nFollowing data will be "
               "deleted" +
               ItemLines({"- Settings files", "- App data", "- Preferences", "- sign-in details"});
    case Operation::ClearAppCache:
        return "Do you want to clear the app cache?";
    default:
        return "Do you want to clear the app store cache?";
    }
}

RunResult Run(Operation op, const std::vector<App>& apps, const modGlobal::Roots& roots,
              services::Clock& clock, services::Launcher& launcher, RunHost& host,
              const RunOptions& options) {
    const OperationTexts& texts = TextsOf(op);
    Log log(clock, host);
    RunResult result;
    log.Header(HeaderLine(texts.titleLiteral, clock.LongDate()));
    host.HeaderWritten();

    if (op == Operation::ClearAppStoreCache) {
        // The tool's own outcome is never observed; only whether it could be started.
        const bool started = launcher.StartStoreCacheReset();
        result.failed += started ? 0 : 1;
        log.Status(std::string("Clear App Store Cache ") + (started ? kOk : kError));
        host.LoopFinished();
        for (const auto& line : StatisticsLines(texts.countLabel, "Clear App Store Cache")) {
            log.Header(line);
        }
        result.lines = log.Take();
        return result;
    }

    for (std::size_t i = 0; i < apps.size(); ++i) {
        if (host.StopRequested()) {
            result.stopped = true;
            break;
        }
        host.AppStarting(i);
        const std::string& package = apps[i].package;
        const Step step = StepFor(op, package, roots, options, clock.UtcNow());
        Watch watch(host);
        std::string systemText;
        const int code = !IsPlainFolderName(package) ? EINVAL : host.FileOperation([&] {
            if (host.WantsTotals()) {
                platform::MeasureTree(step.subject, watch.total);
            }
            const int worked = step.work(&watch);
            systemText = worked != 0 ? platform::ErrorText(worked) : std::string();
            return worked;
        });
        AppOutcome outcome = code == ECANCELED && IsPlainFolderName(package)
                                 ? AppOutcome{AppResult::Error, host.StopReason(), {}}
                                 : Judge(op, code, package, step, roots, systemText);
        if (!step.shownDestination.empty()) {
            outcome.copied = watch.done;
        }
        result.failed += code == 0 ? 0 : 1;
        result.outcomes.push_back(std::move(outcome));
        log.Status(StepLine(step, apps[i].display, code == 0));
        host.AppFinished(i);
    }
    result.stopped = result.stopped || result.outcomes.size() < apps.size();
    result.apps = static_cast<int>(result.outcomes.size());
    host.LoopFinished();
    for (const auto& line : StatisticsLines(texts.countLabel, std::to_string(result.apps))) {
        log.Header(line);
    }
    result.logSaved = log.Save(roots);
    result.failed += result.logSaved ? 0 : 1;
    result.lines = log.Take();
    return result;
}

bool DeleteConfiguration(const modGlobal::Roots& roots, services::Clock& clock, RunHost& host) {
    Log log(clock, host);
    const Below data{roots.programFolder, {"Data"}};
    const int outcome = host.FileOperation([&] { return platform::RemoveTree(data); });
    log.Status(DeleteLine("", kWordHardReset, roots.DataDirNoSep(), outcome == 0));
    return outcome == 0;
}

} // namespace operations
