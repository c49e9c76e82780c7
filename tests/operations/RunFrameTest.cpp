// The run frame without a window: the exact lines and log of a run, and the refusals
// that keep a bad package name or a failed log save from reading as success.
#include "operations/RunFrame.h"
#include "Fixtures.h"
#include "RecordingServices.h"
#include "operations/StatusText.h"
#include "platform/Platform.h"

#include <algorithm>
#include <gtest/gtest.h>

using namespace testsupport;
using operations::Operation;

namespace {

// The lines below spell paths with "/"; the program writes the system's separator.
std::string Native(std::string text) {
    std::replace(text.begin(), text.end(), '/', platform::kSep);
    return text;
}

class RunFrameTest : public ::testing::Test {
protected:
    ProfileFixture profile;
    RecordingServices services;
    RecordingHost host;

    operations::RunResult Run(Operation op, const std::vector<operations::App>& apps) {
        return operations::Run(op, apps, profile.roots(), services.clock, services.launcher, host);
    }
    std::string Backup() const {
        return (profile.program() / "Backup").string() + platform::kSepStr;
    }
};

// Exact texts of the log: a blank or a slash out of place changes what users and their
// scripts read, so the whole run is compared line for line.
TEST_F(RunFrameTest, TwoAppBackupWritesTheExactLinesAndTheLog) {
    profile.AddPackage("Example.Notes_abc");
    fs::remove_all(profile.AddPackage("Example.Maps_def") / "Settings");
    const auto result = Run(Operation::Backup, {{"Example.Maps_def", "Example Maps"},
                                                {"Example.Notes_abc", "Example Notes"}});
    const std::string pkgs = profile.packages().string();
    const std::vector<std::string> expected = {
        "====================== Dittoly UA - Backup process - Saturday, 5 December 2026 "
        "=========================",
        Native("14:05:09 Example Maps | Backup [from] " + pkgs +
               "/Example.Maps_def/Settings/ [to] " + Backup() + "Example.Maps_def/  <Error>"),
        Native("14:05:09 Example Notes | Backup [from] " + pkgs +
               "/Example.Notes_abc/Settings/ [to] " + Backup() + "Example.Notes_abc/  <OK>"),
        "====================== Statistics =========================",
        "Total Apps backed up: 2",
        "=====================================================",
        "14:05:09 Log saved to " + Backup() + " <OK>"};
    EXPECT_EQ(host.lines, expected);
    EXPECT_EQ(result.lines, expected);
    EXPECT_EQ(result.failed, 1);
    EXPECT_EQ(ReadText(profile.program() / "Backup" / "Dittoly UA.txt"),
              modGlobal::CrLfLines({expected.begin(), expected.end() - 1}));
    EXPECT_EQ(
        ReadText(profile.program() / "Backup" / "Example.Notes_abc" / "Settings" / "settings.dat"),
        "settings of Example.Notes_abc");
    EXPECT_TRUE(fs::is_directory(profile.program() / "Backup" / "Example.Maps_def"));
}

// Catches: the name check made on the display name, so a hostile package name gets as far
// as the platform layer (a Backup makes Backup/ and its log) and a real package whose
// display name is empty ("_x") is refused.
TEST_F(RunFrameTest, HostileNamesAreRefusedAndTouchNothing) {
    profile.AddPackage("Example.Notes_abc");
    const auto before = TreeFingerprint(profile.base().path());
    const std::vector<operations::App> hostile = {
        {"", "empty"}, {"..", "up"}, {".", "here"}, {"Example.Notes_abc/../..", "climb"}};
    const auto all = {Operation::Backup, Operation::ClearAppCache, Operation::Reset,
                      Operation::Restore, Operation::HardReset};
    for (Operation op : all) {
        host.lines.clear();
        const auto result = Run(op, hostile);
        EXPECT_EQ(result.failed, 4);
        for (std::size_t i = 1; i <= hostile.size(); ++i) {
            EXPECT_TRUE(host.lines[i].ends_with("<Error>")) << host.lines[i];
        }
        EXPECT_EQ(TreeFingerprint(profile.base().path()), before);
    }
    profile.AddPackage("_x");
    for (Operation op : all) {
        EXPECT_EQ(Run(op, {{"_x", ""}}).failed, 0) << static_cast<int>(op);
    }
}

TEST_F(RunFrameTest, AFailedLogSaveSaysErrorAndCounts) {
    profile.AddPackage("Example.Notes_abc");
    fs::create_directories(profile.program() / "Backup" / "Dittoly UA.txt"); // a folder
    const auto result = Run(Operation::Reset, {{"Example.Notes_abc", "Example Notes"}});
    // One blank before the result of a delete line, two in a copy line.
    EXPECT_EQ(host.lines[1], "14:05:09 Example Notes | Reset " + profile.packages().string() +
                                 Native("/Example.Notes_abc/Settings <OK>"));
    EXPECT_EQ(host.lines.back(), "14:05:09 Log saved to " + Backup() + " <Error>");
    EXPECT_EQ(result.failed, 1);
    EXPECT_EQ(result.logReason, "a folder stands where the log file goes");
}

// Catches: a stop that came while the last app's delete finished (a delete always does)
// leaving a log that reads as a clean run, a stop line worded with a fixed word rather
// than the host's (the command line's is "interrupted"), or one written after the log.
TEST_F(RunFrameTest, AStopDuringTheLastDeleteIsToldAfterTheStatisticsAndInTheLog) {
    struct StoppingHost : RecordingHost {
        bool stop = false;
        void AppStarting(std::size_t index) override { stop = index == 1; }
        bool StopRequested() override { return stop; }
        std::string StopReason() override { return "interrupted"; }
    } stopping;
    profile.AddPackage("A.App_a");
    profile.AddPackage("B.App_b");
    fs::create_directories(profile.program() / "Backup");
    const auto result =
        operations::Run(Operation::Reset, {{"A.App_a", "A"}, {"B.App_b", "B"}}, profile.roots(),
                        services.clock, services.launcher, stopping);
    EXPECT_TRUE(result.stopped && result.failed == 0);
    ASSERT_EQ(stopping.lines.size(), 8u);
    EXPECT_EQ(stopping.lines[4], "Total Apps reseted: 2");
    EXPECT_EQ(stopping.lines[6], "14:05:09 Interrupted: 0 of 2 apps left undone.");
    EXPECT_EQ(ReadText(profile.program() / "Backup" / "Dittoly UA.txt"),
              modGlobal::CrLfLines({stopping.lines.begin(), stopping.lines.end() - 1}));
}

// The cache comes back empty, but only inside a package folder that is still there: an app
// removed since the search must not reappear as an empty package folder.
TEST_F(RunFrameTest, ClearAppCacheNeverBringsBackAGonePackage) {
    const fs::path pkg = profile.AddPackage("A.App_a");
    const auto result =
        Run(Operation::ClearAppCache, {{"A.App_a", "A App"}, {"Gone.App_g", "Gone App"}});
    EXPECT_TRUE(fs::is_directory(pkg / "LocalCache") && fs::is_empty(pkg / "LocalCache"));
    EXPECT_FALSE(fs::exists(profile.packages() / "Gone.App_g"));
    EXPECT_EQ(result.failed, 1);
}

// The store cache takes no apps: one line that says only whether its tool could be started,
// and no log, so the log of the last app run stays.
TEST_F(RunFrameTest, ClearAppStoreCacheSaysWhetherTheToolStartedAndKeepsTheLog) {
    WriteText(profile.program() / "Backup" / "Dittoly UA.txt", "earlier run");
    for (const bool starts : {true, false}) {
        services.launcher.storeCacheStartSucceeds = starts;
        host.lines.clear();
        EXPECT_EQ(Run(Operation::ClearAppStoreCache, {{"A.App_a", "A App"}}).failed,
                  starts ? 0 : 1);
        ASSERT_EQ(host.lines.size(), 5u);
        EXPECT_EQ(host.lines[1],
                  std::string("14:05:09 Clear App Store Cache ") + (starts ? "<OK>" : "<Error>"));
    }
    EXPECT_EQ(ReadText(profile.program() / "Backup" / "Dittoly UA.txt"), "earlier run");
}

} // namespace
