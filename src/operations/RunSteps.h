#pragma once
// One app's step of a run, for the run frame alone: the work of each operation on one
// app, the status line it ends with, and how a failure is told in words.

#include "operations/RunFrame.h"

#include <functional>
#include <string>
#include <vector>

namespace operations::steps {

using platform::Below;

// What a step tells besides its result: the reason of a refusal of its own, and what it did
// to the app's History.
struct StepReport {
    std::string reason;
    bool unchanged = false;       // a Backup that found nothing to copy
    bool nothingRestored = false; // a Restore that left the live Settings as they were
    bool thrownAway = false;      // a copy that never took its place: nothing of it stayed
    std::vector<std::string> added;
    std::vector<std::string> removed;
    platform::CopyStats stats;
    platform::FailedAt where; // of a failure, as the platform tells it; no root: not known
};

// One app's copy or delete: the paths as the status line prints them, the folder the work
// reads or removes, and the work.
struct Step {
    const char* word;
    std::string shownPath;        // the source of a copy, the path of a delete
    std::string shownDestination; // copies only
    Below subject;
    std::function<int(platform::TreeProgress*, StepReport&)> work;
};

inline AppOutcome Outcome(AppResult result, std::string reason) {
    AppOutcome outcome;
    outcome.result = result;
    outcome.reason = std::move(reason);
    return outcome;
}

// The step of `op` for one app, at `now` (UTC seconds: History ids and the lock's note).
Step StepFor(Operation op, const std::string& package, const modGlobal::Roots& roots,
             const RunOptions& options, std::int64_t now);

// The status line a step ends with, for the app shown as `appText`.
std::string StepLine(const Step& step, const std::string& appText, bool ok);

// Why a step failed: what stood in the way, else what the copy left out, else the
// system's words; with where it happened, when the work could tell. `systemText` is the
// system's words for `code`, taken on the thread that did the work (on Windows they belong
// to that thread's last error).
AppOutcome Judge(Operation op, int code, const std::string& package, const Step& step,
                 const modGlobal::Roots& roots, const std::string& systemText,
                 const StepReport& report);

} // namespace operations::steps
