#pragma once
// Backup/Dittoly UA history.txt: the lines of every command-line run, one run after the
// other, so that a week of nightly runs can be read back (Dittoly UA.txt holds the last
// run only, as the window keeps it).

#include "common/modGlobal.h"
#include "operations/RunFrame.h"

#include <cstddef>
#include <string>
#include <vector>

namespace cli {

inline constexpr char kHistoryLogName[] = "Dittoly UA history.txt";
// Beside it: the lock that makes one run at a time change it.
inline constexpr char kHistoryLockName[] = "Dittoly UA history.lock";
inline constexpr std::size_t kHistoryLogBytes = 1024 * 1024;

// Appends one run's lines, each status line that ends in "<Error>" followed by its app's
// reason (kReasonLead and the reason on one line, which neither a status line nor a
// header can begin with), then drops the oldest runs, each whole, while the file would
// hold more than kHistoryLogBytes (the run just added always stays). Written as the log
// is (the system's code page or UTF-8, CR LF) and replaced in one step, so a kill never
// leaves it cut. Nothing is written without a Backup folder (a run without one saves no
// log either). False when it could not be written, or what stands there is not a file it
// can read.
inline constexpr char kReasonLead[] = "    why: ";
bool AppendToHistoryLog(const modGlobal::Roots& roots, const operations::RunResult& run);

} // namespace cli
