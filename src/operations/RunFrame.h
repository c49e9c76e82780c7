#pragma once
// The operations on ticked apps in the one frame they share: a header, one status line
// per app, the statistics block and the saved log. The window and the command line both
// run them through here; each keeps only what is its own (the question, the lists, the
// captions, the pacing between lines).

#include "start/Services.h"
#include "start/modGlobal.h"

#include <cstddef>
#include <cstdint>
#include <functional>
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

// The front end a run reports to. Every call comes from the thread that called Run.
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
};

struct RunResult {
    std::vector<std::string> lines; // the operation log, as shown
    int apps = 0;                   // apps worked on (the count in the statistics)
    int failed = 0;                 // status lines that ended in "<Error>"
};

// Runs `op` over `apps` in their order: header, one status line per app, statistics,
// and (all but Clear App Store Cache) the log file with its "Log saved to " line. A
// package name that is not one plain folder name is refused: its line ends in "<Error>"
// and nothing is created, copied or deleted for it.
RunResult Run(Operation op, const std::vector<App>& apps, const modGlobal::Roots& roots,
              services::Clock& clock, services::Launcher& launcher, RunHost& host);

// The delete-configuration command: the program's Data folder goes with one Hard Reset
// status line that names no app. True when it is gone.
bool DeleteConfiguration(const modGlobal::Roots& roots, services::Clock& clock, RunHost& host);

} // namespace operations
