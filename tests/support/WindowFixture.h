#pragma once
// A real main window started exactly as the program starts it, on a temporary profile
// and program folder, with questions, launches and the clock recorded.

#include "Fixtures.h"
#include "RecordingServices.h"
#include "window/frmMain.h"

#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

namespace testsupport {

class WindowTest : public ::testing::Test {
protected:
    ProfileFixture profile;
    RecordingServices services;
    std::unique_ptr<window::frmMain> form;

    // Runs the entry procedure; the window is shown unless it ends the program.
    void Start();
    // Lets pending events and one tick of Timer1 run.
    void Tick();
    // Starts the window and runs a search over the fixture's packages.
    void StartAndSearch();
    // Ticks entries of the visible list by display name, as the user would.
    void TickApp(const std::string& display, bool ticked = true);
    // The status list's lines.
    std::vector<std::string> StatusLines() const;
    // Closes the window as the user does (the save on close runs).
    void Close();
};

} // namespace testsupport
