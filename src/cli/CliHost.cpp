#include "cli/CliHost.h"

#include "cli/Streams.h"

#include <QString>
#include <atomic>

#ifdef _WIN32
#include <windows.h>
#else
#include <csignal>
#endif

namespace cli {

namespace {

// Set from a signal handler (or, on Windows, the console's own thread): lock-free, so
// setting it is safe there.
std::atomic<bool> interrupted{false};
std::atomic<bool> runDone{false};
static_assert(std::atomic<bool>::is_always_lock_free);

#ifdef _WIN32
BOOL WINAPI OnConsoleEvent(DWORD event) {
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
        interrupted = true;
        return TRUE;
    case CTRL_CLOSE_EVENT:
        // The process ends when this returns: the run gets its moment (the system allows
        // about five seconds) to stop its copy, remove the staging copy and write its log.
        interrupted = true;
        for (int waited = 0; waited < 4500 && !runDone; waited += 50) {
            Sleep(50);
        }
        return TRUE;
    default:
        return FALSE;
    }
}
#else
void OnSignal(int) {
    interrupted = true;
}
#endif

} // namespace

void CatchInterrupts() {
#ifdef _WIN32
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
#else
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    // File calls carry on after the handler; the run asks for the flag between files.
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
#endif
}

bool Interrupted() {
    return interrupted;
}

void RunDone() {
    runDone = true;
}

CliHost::CliHost(operations::Operation op, const std::vector<operations::App>& apps,
                 bool printLines, bool showProgress)
    : apps_(apps),
      copies_(op == operations::Operation::Backup || op == operations::Operation::Restore),
      printLines_(printLines), showProgress_(showProgress) {}

void CliHost::AddLine(const std::string& line, bool) {
    Clear();
    if (printLines_) {
        Out(line + '\n');
    }
}

void CliHost::AppStarting(std::size_t index) {
    // A long name would wrap the line, and "\r" then redraws only its last part.
    const QString name = QString::fromStdString(apps_[index].display);
    current_ = (name.size() > 32 ? name.left(31) + "…" : name).toStdString();
    if (showProgress_) {
        Draw(current_ + ": counting files...");
    }
}

void CliHost::LoopFinished() {
    Clear();
}

void CliHost::Progress(const platform::TreeSize& done, const platform::TreeSize& total) {
    const auto now = std::chrono::steady_clock::now();
    if (!showProgress_ || now - drawn_ < std::chrono::milliseconds(100)) {
        return;
    }
    std::string text =
        current_ + ": " + std::to_string(done.files) + " of " + Counted(total.files, "file");
    if (copies_) {
        text += ", " + Size(done.bytes) + " of " + Size(total.bytes);
    }
    Draw(text);
}

void CliHost::Draw(const std::string& text) {
    const auto width = static_cast<std::size_t>(QString::fromStdString(text).size());
    std::string line = "\r";
    line += text;
    line.append(shown_ > width ? shown_ - width : 0, ' ');
    Err(line);
    shown_ = width;
    drawn_ = std::chrono::steady_clock::now();
}

void CliHost::Clear() {
    if (shown_ > 0) {
        std::string blank(shown_ + 2, ' ');
        blank.front() = blank.back() = '\r';
        Err(blank);
        shown_ = 0;
    }
}

} // namespace cli
