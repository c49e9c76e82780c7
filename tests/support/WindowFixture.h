#pragma once
// A real main window started exactly as the program starts it, on a temporary profile
// and program folder, with questions, launches and the clock recorded.

#include "Fixtures.h"
#include "RecordingServices.h"
#include "window/frmMain.h"

#include <condition_variable>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace testsupport {

// The texts of a list's rows, top to bottom.
std::vector<std::string> Rows(const window::VbList* list);
// The indexes of a list's ticked rows, in order.
std::vector<int> TickedRows(const window::VbList* list);

// Holds a window's run on the thread doing its copy or delete, at each progress report of
// one app, until the test lets it on: what a test looks at during a run is then there
// however fast or loaded the machine is. A hold gives up after a minute, so a test that
// goes wrong fails instead of hanging.
class RunGate {
public:
    RunGate(window::frmMain& form, std::size_t app);
    ~RunGate();
    RunGate(const RunGate&) = delete;
    RunGate& operator=(const RunGate&) = delete;
    // Lets `reports` more progress reports through.
    void Let(int reports = 1);
    // Lets the rest of the run through.
    void Open();
    // Whether the run waits at the gate now.
    bool Waiting();

private:
    window::frmMain& form_;
    std::mutex mutex_;
    std::condition_variable changed_;
    int let_ = 0;
    bool open_ = false;
    bool waiting_ = false;
};

class WindowTest : public ::testing::Test {
protected:
    ProfileFixture profile;
    RecordingServices services;
    std::unique_ptr<window::frmMain> form;

    // Runs the entry procedure; the window is shown unless it ends the program. A start
    // that ends the program throws, so a test that needs the window stops at once.
    void Start();
    // Lets pending events and one tick of Timer1 run.
    void Tick();
    // Lets the real timer run until it has gone idle again.
    void WaitForTimer();
    // Starts the window and runs a search over the fixture's packages.
    void StartAndSearch();
    // Ticks the entry of the visible list shown as `display`, as the user would.
    void TickApp(const std::string& display);
    // The status list's lines.
    std::vector<std::string> StatusLines() const { return Rows(form->lstStatus); }
    // Closes the window as the user does (the save on close runs).
    void Close();
    // Closes this run and starts the next one on the same folders.
    void Restart();
    // The program's own folder for its stored state.
    fs::path Data() const { return profile.program() / "Data"; }
    std::string Ini() const { return ReadText(Data() / "dittoly.ini"); }
};

} // namespace testsupport
