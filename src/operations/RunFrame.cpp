#include "operations/RunFrame.h"

#include "operations/RunSteps.h"
#include "operations/StatusText.h"
#include "platform/Platform.h"

#include <algorithm>
#include <cerrno>
#include <initializer_list>
#include <optional>

namespace operations {

namespace {

using platform::Below;
using steps::Judge;
using steps::Outcome;
using steps::Step;
using steps::StepFor;
using steps::StepLine;
using steps::StepReport;

const OperationTexts kTexts[] = {
    {"Backup", "Dittoly UA - Backup process - ", "Backup complete.", "Backup cancelled.",
     "Total Apps backed up: ", services::MB_ICONINFORMATION, false, false},
    {"Restore", "Dittoly UA - Restore process - ", "Restore complete.", "Restore cancelled.",
     "Total Apps restored: ", services::MB_ICONINFORMATION, false, false},
    {"Normal Reset", "Dittoly UA - Reset process - ", "Reset complete.", "Reset cancelled.",
     "Total Apps reseted: ", services::MB_ICONINFORMATION, true, true},
    {"Hard Reset", "Dittoly UA - Hard Reset process - ", "Hard Reset complete.",
     "Hard Reset cancelled.", "Total Apps reseted: ", services::MB_ICONEXCLAMATION, true, true},
    {"Clear App Cache", "Dittoly UA - Clear App Cache process - ", "Clear App Cache complete.",
     "Clear App Cache cancelled.", "Total Apps cleared: ", services::MB_ICONINFORMATION, true,
     true},
    {"Clear App Store Cache", "Dittoly UA - Clear App Store Cache process - ",
     "Clear App Store Cache complete.", "Clear App Store Cache cancelled.",
     "Total Apps cleared: ", services::MB_ICONINFORMATION, true, false},
};

std::string ItemLines(std::initializer_list<const char*> items) {
    std::string text;
    for (const char* item : items) {
        text += "\r\n" + UpperCase(item);
    }
    return text;
}

// Why the log file could not be written, looked for after the fact (the write tells no
// more than that it failed): what holds the file's name, else what keeps any file from
// being made in the folder, else the bare fact.
std::string LogSaveFailure(const modGlobal::Roots& roots) {
    if (platform::StateOf(roots.LogFile()) == platform::PathState::Folder) {
        return "a folder stands where the log file goes";
    }
    if (const int error = platform::CheckWritable(roots.BackupDir()); error != 0) {
        return platform::ErrorText(error);
    }
    return "the log file could not be written";
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
    // so follows them in the list only. A save that fails says why in `why`.
    bool Save(const modGlobal::Roots& roots, std::string& why) {
        if (!modGlobal::FolderExists(roots.BackupDir())) {
            return true;
        }
        const bool saved = platform::ReplaceFile(
            roots.LogFile(), platform::ToFileText(modGlobal::CrLfLines(lines_)));
        if (!saved) {
            why = LogSaveFailure(roots);
        }
        Status(LogSavedLine(roots.BackupDir(), saved));
        return saved;
    }
    std::vector<std::string> Take() { return std::move(lines_); }

private:
    services::Clock& clock_;
    RunHost& host_;
    std::vector<std::string> lines_;
};

// Reports a step's progress to the host and passes its wish to stop back to the work.
class Watch : public platform::TreeProgress {
public:
    explicit Watch(RunHost& host) : host_(host) {}
    platform::TreeSize total;
    platform::TreeSize done;
    // The folder whose size is the total, measured once: by Count, or by the first Advance,
    // which a Backup calls only once its copy has begun; so a Backup that finds nothing
    // changed walks its Settings once, to compare them, not a second time to count them.
    std::optional<Below> toCount;
    void Count() {
        if (toCount) {
            platform::MeasureTree(*toCount, total);
            toCount.reset();
        }
    }
    bool Advance(std::uint64_t files, std::uint64_t bytes) override {
        Count();
        done = {files, bytes};
        host_.Progress(done, total);
        return !host_.StopRequested();
    }

private:
    RunHost& host_;
};

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

    std::size_t cut = 0; // apps whose copy the stop cut short
    for (std::size_t i = 0; i < apps.size(); ++i) {
        if (host.StopRequested()) {
            break;
        }
        host.AppStarting(i);
        const std::string& package = apps[i].package;
        const Step step = StepFor(op, package, roots, options, clock.UtcNow());
        Watch watch(host);
        std::string systemText;
        StepReport report;
        const int code = !IsPlainFolderName(package) ? EINVAL : host.FileOperation([&] {
            if (host.WantsTotals()) {
                watch.toCount = step.subject;
                if (op != Operation::Backup) {
                    watch.Count(); // before the work: a delete's first file is gone after it
                }
            }
            const int worked = step.work(&watch, report);
            systemText = worked != 0 ? platform::ErrorText(worked) : std::string();
            return worked;
        });
        AppOutcome outcome = code == ECANCELED && IsPlainFolderName(package)
                                 ? Outcome(AppResult::Error, host.StopReason())
                                 : Judge(op, code, package, step, roots, systemText, report);
        // What a copy that was thrown away did is not what the run did: none of it stayed.
        if (!step.shownDestination.empty() && !report.thrownAway) {
            outcome.copied = watch.done;
            outcome.linked = report.stats.linked;
            outcome.written = report.stats.copied;
        }
        outcome.added = std::move(report.added);
        outcome.removed = std::move(report.removed);
        result.failed += code == 0 ? 0 : 1;
        cut += code == ECANCELED && IsPlainFolderName(package) ? 1 : 0;
        result.outcomes.push_back(std::move(outcome));
        log.Status(StepLine(step, apps[i].display, code == 0));
        host.AppFinished(i);
    }
    // A stop asked for while the last app's delete finished left nothing undone, but the
    // run was not the one asked for either: its log says so, as every stopped run's does.
    result.stopped = result.outcomes.size() < apps.size() || cut > 0 || host.StopRequested();
    result.apps = static_cast<int>(result.outcomes.size());
    host.LoopFinished();
    for (const auto& line : StatisticsLines(texts.countLabel, std::to_string(result.apps))) {
        log.Header(line);
    }
    if (result.stopped) {
        log.Status(StoppedLine(host.StopReason(), apps.size() - result.outcomes.size() + cut,
                               apps.size()));
    }
    result.logSaved = log.Save(roots, result.logReason);
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
