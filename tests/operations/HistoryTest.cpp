// What a Backup or Restore replaces is kept whole in the app's History, named by when it
// was made, and pruned only after a run that succeeded. Runs on Linux and under Wine.
#include "operations/History.h"
#include "Fixtures.h"
#include "RecordingServices.h"
#include "operations/RunFrame.h"

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

using namespace testsupport;
using operations::AppResult;
using operations::Operation;
namespace history = operations::history;

namespace {

constexpr char kApp[] = "Example.Notes_abc";

class HistoryTest : public ::testing::Test {
protected:
    ProfileFixture profile;
    RecordingServices services;
    RecordingHost host;
    fs::path live = profile.AddPackage(kApp) / "Settings";
    modGlobal::Roots roots = profile.roots();
    fs::path backup = profile.program() / "Backup" / kApp;
    std::int64_t start = services.clock.utc;

    // Each run an hour after the one before.
    operations::AppOutcome Run(Operation op, int keep = history::kDefaultKeep,
                               const std::string& from = {}) {
        services.clock.utc += 3600;
        return operations::Run(op, {{kApp, "Example Notes"}}, roots, services.clock,
                               services.launcher, host, {keep, from})
            .outcomes.at(0);
    }
    // Settings as version `v`: a file only it has, one all have with other content, a
    // hidden file and a read-only one.
    void Drop() {
        std::error_code ec; // Windows removes no read-only file
        fs::permissions(live / "sub" / "locked.cfg", fs::perms::owner_write, fs::perm_options::add,
                        ec);
        fs::remove_all(live);
    }
    void Version(const std::string& v) {
        Drop();
        WriteText(live / ("only-" + v), v);
        WriteText(live / "shared.dat", "shared " + v);
        WriteText(live / ".hidden", v);
        WriteText(live / "sub" / "locked.cfg", v);
        fs::permissions(live / "sub" / "locked.cfg", fs::perms::owner_write,
                        fs::perm_options::remove);
    }
    static std::string Exact(const fs::path& settings) {
        const auto perms = fs::status(settings / "sub" / "locked.cfg").permissions();
        return TreeFingerprint(settings) +
               ((perms & fs::perms::owner_write) == fs::perms::none ? "read-only" : "writable");
    }
    fs::path Entry(const std::string& id) const { return backup / "History" / id / "Settings"; }
    std::vector<std::string> Ids() const {
        std::vector<std::string> ids;
        for (const auto& entry : history::List(roots, kApp)) {
            ids.push_back(entry.id);
        }
        return ids;
    }
    // A Backup, then a Restore over other live Settings, with the program folder on
    // another volume: true when the live Settings went whole into History first.
    bool RestoreAcrossVolumesKeepsTheLiveSettings(const fs::path& program) {
        roots.programFolder = program.string();
        backup = program / "Backup" / kApp;
        Version("A");
        Run(Operation::Backup);
        Version("live");
        const std::string before = Exact(live);
        return Run(Operation::Restore).result == AppResult::Ok &&
               Exact(live) == Exact(backup / "Settings") && Ids().size() == 1 &&
               Exact(Entry(Ids()[0])) == before;
    }
};

// Catches: the replaced backup deleted or merged instead of moved, an entry named by the
// time of the backup that replaced it, an older version's backup (no recorded time) lost,
// a recorded time taken for a backup it does not name (a run killed before recording).
TEST_F(HistoryTest, EachBackupKeepsTheOneItReplacesExactlyUnderItsOwnTime) {
    WriteText(backup / "Settings" / "old.dat", "old");
    WriteText(backup / "Settings.time", "2001-01-01T000000Z 1\r\n");
    const std::int64_t handMade =
        std::chrono::floor<std::chrono::seconds>(
            std::chrono::file_clock::to_sys(fs::last_write_time(backup / "Settings")))
            .time_since_epoch()
            .count();
    start = services.clock.utc = handMade; // the runs come after it
    std::vector<std::string> versions;
    for (const char* v : {"A", "B", "C"}) {
        Version(v);
        versions.push_back(Exact(live));
        EXPECT_EQ(Run(Operation::Backup).result, AppResult::Ok);
    }
    EXPECT_EQ(Exact(backup / "Settings"), versions[2]);
    // In UTC, whatever zone the machine is in (the suite runs away from UTC).
    EXPECT_EQ(history::Stamp(1796479509), "2026-12-05T140509Z");
    EXPECT_EQ(Ids(),
              (std::vector<std::string>{history::Stamp(start + 7200), history::Stamp(start + 3600),
                                        history::Stamp(handMade)}));
    EXPECT_EQ(Exact(Entry(history::Stamp(start + 7200))), versions[1]);
    EXPECT_EQ(Exact(Entry(history::Stamp(start + 3600))), versions[0]);
    EXPECT_EQ(TreeFingerprint(Entry(history::Stamp(handMade))), "old.dat = old\n");
}

// Catches: the live Settings a Restore replaces thrown away or filed as a backup, and a
// restore from an older entry that takes the latest backup instead.
TEST_F(HistoryTest, ARestoreKeepsTheLiveSettingsAndCanBeUndone) {
    Version("A");
    Run(Operation::Backup);
    Version("B");
    Run(Operation::Backup);
    Version("live");
    const std::string before = Exact(live);
    EXPECT_EQ(Run(Operation::Restore).result, AppResult::Ok);
    EXPECT_EQ(Exact(live), Exact(backup / "Settings"));
    const auto entries = history::List(roots, kApp);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].id, history::Stamp(start + 3 * 3600) + "-before-restore");
    EXPECT_EQ(entries[0].kind, history::Kind::BeforeRestore);
    EXPECT_EQ(Exact(Entry(entries[0].id)), before);
    EXPECT_EQ(Run(Operation::Restore, history::kDefaultKeep, entries[0].id).result, AppResult::Ok);
    EXPECT_EQ(Exact(live), before);
    EXPECT_EQ(Ids().size(), 3u);
}

// Catches: the newest entries pruned instead of the oldest, a failed run that prunes, a
// keep of 0 that keeps, and pruning that leaves parts of an entry behind.
TEST_F(HistoryTest, RetentionRemovesTheOldestOnlyAfterASuccessfulRun) {
    for (int i = 0; i < 5; ++i) {
        Version(std::to_string(i));
        Run(Operation::Backup, 3);
    }
    const std::vector<std::string> kept = {history::Stamp(start + 4 * 3600),
                                           history::Stamp(start + 3 * 3600),
                                           history::Stamp(start + 2 * 3600)};
    EXPECT_EQ(Ids(), kept);
    Drop();
    const auto nothing = Run(Operation::Backup, 1);
    EXPECT_EQ(nothing.result, AppResult::NothingToDo);
    EXPECT_EQ(nothing.reason, "no Settings folder to back up");
    EXPECT_EQ(Ids(), kept);
    Version("last");
    Run(Operation::Backup, 0);
    EXPECT_TRUE(fs::is_empty(backup / "History"));
}

// Catches: a second entry of one second named so that List does not take it (invisible to
// backups, restore --from and retention), and Tidy removing an entry that a run at work is
// still filling (a copy into History across volumes builds it there first).
TEST_F(HistoryTest, EntriesOfOneSecondAndOnesARunIsFillingStayInHistory) {
    const std::int64_t second = services.clock.utc + 3600;
    for (const char* v : {"A", "B", "C"}) {
        Version(v);
        services.clock.utc = second - 3600; // Run moves it on by an hour: all in one second
        EXPECT_EQ(Run(Operation::Backup).result, AppResult::Ok);
    }
    EXPECT_EQ(Ids(),
              (std::vector<std::string>{history::Stamp(second) + "-2", history::Stamp(second)}));

    const fs::path filling = backup / "History" / "2030-01-01T000000Z";
#ifdef _WIN32
    WriteText(filling / "Settings.dittoly-new" / "part", "x");
    std::ofstream lock(filling / "Settings.dittoly-lock"); // held as a copy at work holds it
#else
    WriteText(filling / (".Settings.dittoly-" + std::to_string(::getpid()) + "-0.new") / "part",
              "x");
#endif
    const fs::path unfilled = backup / "History" / "2030-01-02T000000Z";
    fs::create_directories(unfilled);
    const std::string before = TreeFingerprint(filling);
    history::Tidy(roots, kApp);
    EXPECT_EQ(TreeFingerprint(filling), before);
    EXPECT_FALSE(fs::exists(unfilled)); // what a killed run left empty goes
    EXPECT_EQ(Ids().size(), 2u);
}

#ifndef _WIN32
// Catches: a Restore whose program folder is on another volume than the profile losing
// the live Settings (a rename cannot cross volumes) or keeping only part of it.
TEST_F(HistoryTest, ARestoreAcrossVolumesCopiesTheLiveSettingsIntoHistoryFirst) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "a second volume needs root for a mount namespace of its own";
    }
    const pid_t child = ::fork();
    if (child == 0) {
        if (::unshare(CLONE_NEWNS) != 0 ||
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("tmpfs", profile.program().c_str(), "tmpfs", 0, "size=8m") != 0) {
            ::_exit(77);
        }
        ::_exit(RestoreAcrossVolumesKeepsTheLiveSettings(profile.program()) ? 0 : 1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 77) {
        GTEST_SKIP() << "no mount namespace of its own here";
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}
#else
// The same with the program folder on a second drive, which the test command maps.
TEST_F(HistoryTest, ARestoreAcrossVolumesCopiesTheLiveSettingsIntoHistoryFirst) {
    const char* drive = std::getenv("DITTOLY_SECOND_DRIVE");
    if (drive == nullptr) {
        GTEST_SKIP() << "no second drive mapped (DITTOLY_SECOND_DRIVE)";
    }
    const std::string name = "history-" + profile.base().path().filename().string();
    EXPECT_TRUE(RestoreAcrossVolumesKeepsTheLiveSettings(fs::path(drive) / "\\" / name));
    platform::RemoveTree({std::string(drive) + "\\", {name}});
}
#endif

} // namespace
