#pragma once
// The operations on ticked apps in the one frame they share: a header, one status line
// per app, the statistics block and the saved log. The window and the command line both
// run them through here; each keeps only what is its own (the question, the lists, the
// captions, the pacing between lines).

#include "common/Services.h"
#include "common/modGlobal.h"
#include "operations/History.h"
#include "platform/Platform.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace operations {

enum class Operation : std::uint8_t {
    Backup,
    Restore,
    Reset,
    HardReset,
    ClearAppCache,
    ClearAppStoreCache,
};

// What tells the operations apart, as the user sees it.
struct OperationTexts {
    const char* caption;      // of the command, and the title of its question
    const char* titleLiteral; // in the header line, before the date
    const char* completion;   // the caption shown when the run is done
    const char* cancelled;    // the caption shown instead when it was cancelled
    const char* countLabel;   // before the count in the statistics block
    int icon;                 // of the confirmation question
    bool fromOptionsPanel;    // started from the options panel, which closes
    bool captionAfterEachApp; // the completion caption shows after every app too
};
const OperationTexts& TextsOf(Operation op);

// The confirmation question for `op` when `ticked` apps are ticked.
std::string Prompt(Operation op, int ticked, const modGlobal::Roots& roots);

// One app to work on: its package folder name exactly as the file system gave it, and
// the name it is shown by (which the status lines print).
struct App {
    std::string package;
    std::string display;
};

// What became of one app. Its status line says "<OK>" for Ok and for Unchanged (a Backup
// that found the app's Settings exactly as its latest backup holds them, and so changed
// nothing); an app with nothing to do (no folder to back up or delete) keeps its "<Error>"
// line, but a caller may count it apart from failures.
enum class AppResult : std::uint8_t { Ok, Error, NothingToDo, Unchanged };

struct AppOutcome {
    AppResult result = AppResult::Ok;
    std::string reason;               // why, unless Ok: the system's words or the program's
    platform::TreeSize copied;        // what a Backup or Restore copied that stayed
    std::uint64_t linked = 0;         // of its files, those a Backup shares with the last one
    std::uint64_t written = 0;        // and those it wrote anew
    std::vector<std::string> added;   // the History entries it made
    std::vector<std::string> removed; // the History entries retention removed after it
};

struct RunOptions {
    // Which History entries each app keeps after its Backup or Restore succeeded.
    history::Policy policy;
    // A Restore from this History entry instead of the latest backup.
    std::string restoreFrom;
    // How long a Backup or Restore waits for another run to let go of an app, in
    // milliseconds; past it, that app fails and the run goes on.
    int waitMs = 0;
};

// The front end a run reports to. Every call comes from the thread that called Run, but
// for those that say otherwise.
class RunHost {
public:
    virtual ~RunHost() = default;
    // A new line of the operation log. Status lines already carry the time of day;
    // header lines (`status` false) have none.
    virtual void AddLine(const std::string& line, bool status) = 0;
    // The header line has been written.
    virtual void HeaderWritten() {}
    // apps[index] is next: its status line follows.
    virtual void AppStarting(std::size_t index) { static_cast<void>(index); }
    // apps[index] has its status line.
    virtual void AppFinished(std::size_t index) { static_cast<void>(index); }
    // Every app has been worked on; the statistics block follows.
    virtual void LoopFinished() {}
    // Runs one copy or delete and returns its result; a window keeps itself painted
    // meanwhile.
    virtual int FileOperation(const std::function<int()>& work) { return work(); }
    // Whether Progress wants the total of each copy or delete: measuring it walks the
    // folder once more, before the work (a Backup: once its copy begins, so that one that
    // finds nothing changed does not pay for it). Asked from the thread that runs the work.
    virtual bool WantsTotals() { return false; }
    // How far the copy or delete of the app being worked on has come; `total` stays zero
    // unless WantsTotals. Called from the thread that runs the work.
    virtual void Progress(const platform::TreeSize& done, const platform::TreeSize& total) {
        static_cast<void>(done);
        static_cast<void>(total);
    }
    // True ends the run at the next safe point: a copy stops at once and leaves the app as
    // it was (its line ends in "<Error>" with StopReason), a delete finishes first, and the
    // apps not started get no line. A line after the statistics then tells the stop, in
    // StopReason's word, and how many apps it left undone; so does a stop asked for while
    // the last app's delete was finishing, which left none. Asked from either thread.
    virtual bool StopRequested() { return false; }
    virtual std::string StopReason() { return "cancelled"; }
};

struct RunResult {
    std::vector<std::string> lines;   // the operation log, as shown
    int apps = 0;                     // apps worked on (the count in the statistics)
    int failed = 0;                   // status lines that ended in "<Error>"
    std::vector<AppOutcome> outcomes; // outcomes[i] is apps[i]'s, for every app with a line
    bool stopped = false;             // the host asked to stop before the run was over
    bool logSaved = true;             // false when the log file could not be written
    std::string logReason;            // and then why
};

// Runs `op` over `apps` in their order: header, one status line per app, statistics,
// and (all but Clear App Store Cache) the log file with its "Log saved to " line. A
// package name that is not one plain folder name is refused: its line ends in "<Error>"
// and nothing is created, copied or deleted for it. What a Backup or Restore replaces
// goes into the app's History (see History.h).
RunResult Run(Operation op, const std::vector<App>& apps, const modGlobal::Roots& roots,
              services::Clock& clock, services::Launcher& launcher, RunHost& host,
              const RunOptions& options = {});

// What `op` would do to one app, without doing it: the folder it reads or removes, the
// folder a copy would replace, and what stands in the way on the disk as it is now (result
// Ok when nothing does), in the words a run would give.
struct StepPlan {
    platform::Below subject;
    std::optional<platform::Below> replaced;
    AppOutcome refusal;
};
StepPlan PlanStep(Operation op, const std::string& package, const modGlobal::Roots& roots,
                  const RunOptions& options = {});

// What a Backup or Restore of one app would do to its History at `now`: a Backup that
// would find nothing changed; the entry the folder it replaces would become; the entries
// retention would then remove. Reads the app's Settings and its backup to compare them.
struct HistoryPlan {
    bool unchanged = false;
    std::string added;
    std::vector<std::string> removed;
};
HistoryPlan PlanHistory(Operation op, const std::string& package, const modGlobal::Roots& roots,
                        const RunOptions& options, std::int64_t now);

// The delete-configuration command: the program's Data folder goes with one Hard Reset
// status line that names no app. True when it is gone.
bool DeleteConfiguration(const modGlobal::Roots& roots, services::Clock& clock, RunHost& host);

} // namespace operations
