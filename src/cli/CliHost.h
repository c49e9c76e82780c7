#pragma once
// A run as the command line shows it: its lines on stdout, progress on stderr while a
// person watches there, and an interrupt (SIGINT, SIGTERM; on Windows Ctrl-C, Ctrl-Break
// and the console closing) that ends the run at its next safe point instead of killing it
// in the middle of a copy, so the run removes its staging copy and writes its lines.

#include "operations/RunFrame.h"

#include <chrono>
#include <string>
#include <vector>

namespace cli {

// From here on an interrupt only sets the flag Interrupted reads.
void CatchInterrupts();
bool Interrupted();
// The run has written all it has to say: a closing console may end the process now.
void RunDone();

class CliHost : public operations::RunHost {
public:
    // `printLines`: the status lines go to stdout. `showProgress`: each copy or delete
    // shows how far it has come on stderr, redrawn in place.
    CliHost(operations::Operation op, const std::vector<operations::App>& apps, bool printLines,
            bool showProgress);
    void AddLine(const std::string& line, bool status) override;
    void AppStarting(std::size_t index) override;
    void LoopFinished() override;
    bool WantsTotals() override { return showProgress_; }
    void Progress(const platform::TreeSize& done, const platform::TreeSize& total) override;
    bool StopRequested() override { return Interrupted(); }
    std::string StopReason() override { return "interrupted"; }

private:
    void Draw(const std::string& text);
    void Clear();

    const std::vector<operations::App>& apps_;
    bool copies_;
    bool printLines_;
    bool showProgress_;
    std::string current_;   // the app being worked on, as its progress names it
    std::size_t shown_ = 0; // characters of the progress line on screen
    std::chrono::steady_clock::time_point drawn_;
};

} // namespace cli
