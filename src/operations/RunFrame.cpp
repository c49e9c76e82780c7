#include "operations/RunFrame.h"

#include "operations/StatusText.h"
#include "platform/Platform.h"

#include <cerrno>
#include <initializer_list>

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

// One app's copy or delete: the paths as the status line prints them, and the work.
struct Step {
    const char* word;
    std::string shownPath;        // the source of a copy, the path of a delete
    std::string shownDestination; // copies only
    std::function<int()> work;
};

Step StepFor(Operation op, const std::string& package, const modGlobal::Roots& roots) {
    const std::string packagesRoot = roots.PackagesRoot();
    const std::string packageFolder = packagesRoot + kSepStr + package;
    const Below inPackages{packagesRoot, {package}};
    switch (op) {
    case Operation::Backup: {
        const Below backup{roots.BackupDir(), {package}};
        return {kWordBackup, packageFolder + kSepStr + "Settings" + kSepStr,
                roots.BackupDir() + package + kSepStr, [=] {
                    platform::MakeFolderChain(backup);
                    return platform::CopyTree({packagesRoot, {package, "Settings"}}, backup);
                }};
    }
    case Operation::Restore:
        return {
            kWordRestore, roots.BackupDir() + package + kSepStr + "Settings" + kSepStr,
            packageFolder, [=] {
                platform::MakeFolderChain(inPackages);
                return platform::CopyTree({roots.BackupDir(), {package, "Settings"}}, inPackages);
            }};
    case Operation::Reset:
        return {kWordReset, packageFolder + kSepStr + "Settings", {}, [=] {
                    return platform::RemoveTree({packagesRoot, {package, "Settings"}});
                }};
    case Operation::HardReset:
        return {
            kWordHardReset, packageFolder, {}, [=] { return platform::RemoveTree(inPackages); }};
    default: {
        const Below cache{packagesRoot, {package, "LocalCache"}};
        return {kWordClearAppCache, packageFolder + kSepStr + "LocalCache", {}, [=] {
                    const int result = platform::RemoveTree(cache);
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

} // namespace

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
              services::Clock& clock, services::Launcher& launcher, RunHost& host) {
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
        host.AppStarting(i);
        const Step step = StepFor(op, apps[i].package, roots);
        const int outcome =
            IsPlainFolderName(apps[i].package) ? host.FileOperation(step.work) : EINVAL;
        result.failed += outcome == 0 ? 0 : 1;
        log.Status(StepLine(step, apps[i].display, outcome == 0));
        host.AppFinished(i);
    }
    result.apps = static_cast<int>(apps.size());
    host.LoopFinished();
    for (const auto& line : StatisticsLines(texts.countLabel, std::to_string(result.apps))) {
        log.Header(line);
    }
    result.failed += log.Save(roots) ? 0 : 1;
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
