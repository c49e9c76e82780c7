// What a Backup or Restore replaces is kept whole in the app's History, named by when it
// was made, and pruned only after a run that succeeded. Runs on Linux and under Wine.
#include "operations/History.h"
#include "Fixtures.h"
#include "RecordingServices.h"
#include "operations/RunFrame.h"

#include <chrono>
#include <cstdlib>
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

    // Each run an hour after the one before, unless `later` says otherwise.
    operations::AppOutcome Run(Operation op, history::Policy policy = {},
                               const std::string& from = {}, std::int64_t later = 3600) {
        services.clock.utc += later;
        return operations::Run(op, {{kApp, "Example Notes"}}, roots, services.clock,
                               services.launcher, host, {policy, from, 0})
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
        const bool restored = Run(Operation::Restore).result == AppResult::Ok &&
                              Exact(live) == Exact(backup / "Settings") && Ids().size() == 1 &&
                              Exact(Entry(Ids()[0])) == before;
#ifndef _WIN32
        // A link inside the live Settings cannot be kept whole in History: nothing is
        // restored, and no entry is left for that.
        fs::create_symlink("shared.dat", live / "link");
        const auto refused = Run(Operation::Restore);
        return restored && refused.result == AppResult::Error &&
               refused.reason.starts_with("nothing was restored: ") && Ids().size() == 1;
#else
        return restored;
#endif
    }
};

// Catches: the replaced backup deleted or merged instead of moved, an entry named by the
// time of the backup that replaced it, a backup no record vouches for (an older version's
// record naming another folder) filed under a made-up time instead of as undated.
TEST_F(HistoryTest, EachBackupKeepsTheOneItReplacesExactlyUnderItsOwnTime) {
    WriteText(backup / "Settings" / "old.dat", "old");
    WriteText(backup / "Settings.time", "2001-01-01T000000Z 1\r\n");
    std::vector<std::string> versions;
    for (const char* v : {"A", "B", "C"}) {
        Version(v);
        versions.push_back(Exact(live));
        EXPECT_EQ(Run(Operation::Backup).result, AppResult::Ok);
    }
    EXPECT_EQ(Exact(backup / "Settings"), versions[2]);
    // In UTC, whatever zone the machine is in (the suite runs away from UTC).
    EXPECT_EQ(history::Stamp(1796479509), "2026-12-05T140509Z");
    const std::string undated = history::Stamp(start + 3600) + "-undated";
    EXPECT_EQ(Ids(), (std::vector<std::string>{history::Stamp(start + 7200), undated,
                                               history::Stamp(start + 3600)}));
    EXPECT_EQ(Exact(Entry(history::Stamp(start + 7200))), versions[1]);
    EXPECT_EQ(Exact(Entry(history::Stamp(start + 3600))), versions[0]);
    EXPECT_EQ(TreeFingerprint(Entry(undated)), "old.dat = old\n");
    // Retention never takes an entry whose time it cannot know, even when it keeps nothing.
    Version("D");
    Run(Operation::Backup, history::Policy::Newest(0));
    EXPECT_EQ(Ids(), std::vector<std::string>{undated});
}

// Catches: the live Settings a Restore replaces thrown away or filed as a backup, a restore
// from an older entry that takes the latest backup instead, a Restore and its undo that
// push backups out, and a restore from the oldest entry that prunes that very entry.
TEST_F(HistoryTest, ARestoreKeepsTheLiveSettingsAndCanBeUndone) {
    const history::Policy three = history::Policy::Newest(3);
    for (const char* v : {"A", "B", "C", "D"}) {
        Version(v);
        Run(Operation::Backup, three);
    }
    const std::vector<std::string> backups = Ids(); // B, A and the one before: three
    Version("live");
    const std::string before = Exact(live);
    EXPECT_EQ(Run(Operation::Restore, three).result, AppResult::Ok);
    EXPECT_EQ(Exact(live), Exact(backup / "Settings"));
    const auto entries = history::List(roots, kApp);
    ASSERT_EQ(entries.size(), 4u);
    EXPECT_EQ(entries[0].id, history::Stamp(start + 5 * 3600) + "-before-restore");
    EXPECT_EQ(entries[0].kind, history::Kind::BeforeRestore);
    EXPECT_EQ(Exact(Entry(entries[0].id)), before);
    EXPECT_EQ(Run(Operation::Restore, three, entries[0].id).result, AppResult::Ok);
    EXPECT_EQ(Exact(live), before);
    EXPECT_EQ(Ids().size(), 5u);
    const std::string oldest = backups.back();
    const std::string kept = Exact(Entry(oldest));
    EXPECT_EQ(Run(Operation::Restore, history::Policy::Newest(1), oldest).result, AppResult::Ok);
    EXPECT_EQ(Exact(live), kept);
    EXPECT_EQ(Exact(Entry(oldest)), kept);
}

// Catches: the newest entries pruned instead of the oldest, a failed run that prunes, a
// keep of 0 that keeps, and pruning that leaves parts of an entry behind; a Backup of
// Settings that are exactly its latest backup that copies or files anything.
TEST_F(HistoryTest, RetentionRemovesTheOldestOnlyAfterASuccessfulRun) {
    for (int i = 0; i < 5; ++i) {
        Version(std::to_string(i));
        Run(Operation::Backup, history::Policy::Newest(3));
    }
    const std::vector<std::string> kept = {history::Stamp(start + 4 * 3600),
                                           history::Stamp(start + 3 * 3600),
                                           history::Stamp(start + 2 * 3600)};
    EXPECT_EQ(Ids(), kept);
    const std::string disk = TreeFingerprint(backup);
    const auto same = Run(Operation::Backup, history::Policy::Newest(1));
    EXPECT_EQ(same.result, AppResult::Unchanged);
    EXPECT_EQ(TreeFingerprint(backup), disk);
    Drop();
    const auto nothing = Run(Operation::Backup, history::Policy::Newest(1));
    EXPECT_EQ(nothing.result, AppResult::NothingToDo);
    EXPECT_EQ(nothing.reason, "no Settings folder to back up");
    EXPECT_EQ(Ids(), kept);
    Version("last");
    Run(Operation::Backup, history::Policy::Newest(0));
    EXPECT_TRUE(fs::is_empty(backup / "History"));
}

// Catches: ids of one second ordered as text ("-10" before "-2"), so that retention removes
// the newest; a number that List does not take; a Backup that does not wait its turn while
// another run holds the app, or changes anything then.
TEST_F(HistoryTest, SixteenBackupsInOneSecondKeepTheTenMostRecentlyReplaced) {
    const std::int64_t second = services.clock.utc + 3600;
    for (int i = 0; i < 16; ++i) {
        Version(std::to_string(i));
        EXPECT_EQ(Run(Operation::Backup, {}, {}, i == 0 ? 3600 : 0).result, AppResult::Ok);
    }
    std::vector<std::string> expected;
    for (int n = 15; n >= 6; --n) {
        expected.push_back(history::Stamp(second) + "-" + std::to_string(n));
    }
    EXPECT_EQ(Ids(), expected);
    EXPECT_NE(TreeFingerprint(Entry(expected[0])).find("only-14 = 14"), std::string::npos);

    platform::FileLock other;
    std::string holder;
    ASSERT_EQ(history::LockApp(roots, kApp, start, 0, other, holder), 0);
    Version("busy");
    const std::string disk = TreeFingerprint(backup);
    const auto refused = Run(Operation::Backup);
    EXPECT_EQ(refused.result, AppResult::Error);
    EXPECT_TRUE(refused.reason.starts_with("in use by another run (" + platform::ThisProcess() +
                                           ", since "))
        << refused.reason;
    EXPECT_EQ(TreeFingerprint(backup), disk);
    other.Release();
    EXPECT_EQ(Run(Operation::Backup).result, AppResult::Ok);
}

// Catches: a record that a run killed between its two steps left begun, taken for the
// backup in place when the copy never took its place (or dropped when it did): either way
// a backup would go to History under another backup's time.
TEST_F(HistoryTest, ARecordAKilledRunLeftBegunIsSettledByWhereItsCopyWent) {
    Version("A");
    Run(Operation::Backup); // made at start + 1 h
    const std::string made = history::Stamp(start + 3600);
    history::BeginRecord(roots, kApp, start + 7200, made); // killed before its copy
    Version("B");
    Run(Operation::Backup, {}, {}, 7200); // at start + 3 h
    EXPECT_EQ(Ids(), std::vector<std::string>{made});
    // Killed after its copy took the latest's place (start + 3 h) and moved that to History.
    const std::string moved = history::Stamp(start + 3 * 3600);
    history::BeginRecord(roots, kApp, start + 4 * 3600, moved);
    fs::create_directories(backup / "History" / moved);
    fs::rename(backup / "Settings", backup / "History" / moved / "Settings");
    fs::copy(live, backup / "Settings", fs::copy_options::recursive);
    Version("C");
    Run(Operation::Backup, {}, {}, 2 * 3600); // at start + 5 h
    EXPECT_EQ(Ids(), (std::vector<std::string>{history::Stamp(start + 4 * 3600), moved, made}));
}

// Catches: times tied to what a copy of the program folder does not keep (identities, fine
// times), so that after it the latest backup goes to History under another time, or
// undated; entries dated ahead of the clock or folders the program did not make that push
// its own newest entries out.
TEST_F(HistoryTest, TimesSurviveACopiedProgramFolderAndStrangersCostNothing) {
    for (const char* v : {"A", "B"}) {
        Version(v);
        Run(Operation::Backup);
    }
    fs::path from = profile.program();
    for (const bool fat : {false, true}) {
        // A copy with new identities and new times; on FAT every time rounded to 2 s.
        const fs::path moved = profile.base().path() / (fat ? "fat" : "copy");
        fs::copy(from, moved, fs::copy_options::recursive);
        from = moved;
        for (const auto& entry : fs::recursive_directory_iterator(moved)) {
            const auto at = fs::last_write_time(entry.path());
            std::error_code ec; // a folder's time cannot be set here under Wine
            fs::last_write_time(entry.path(),
                                at - (at.time_since_epoch() % std::chrono::seconds(2)), ec);
        }
        roots.programFolder = moved.string();
        backup = moved / "Backup" / kApp;
        Version(fat ? "D" : "C");
        Run(Operation::Backup);
    }
    EXPECT_EQ(Ids(), (std::vector<std::string>{history::Stamp(start + 3 * 3600),
                                               history::Stamp(start + 2 * 3600),
                                               history::Stamp(start + 3600)}));
    WriteText(backup / "History" / "2099-01-01T000000Z" / "Settings" / "f", "ahead");
    WriteText(backup / "History" / "Mine" / "Settings" / "f", "by hand");
    Version("E");
    Run(Operation::Backup, history::Policy::Newest(2));
    EXPECT_EQ(Ids(),
              (std::vector<std::string>{"2099-01-01T000000Z", history::Stamp(start + 4 * 3600),
                                        history::Stamp(start + 3 * 3600)}));
    EXPECT_TRUE(fs::exists(backup / "History" / "Mine" / "Settings" / "f"));
}

// Catches: rules that keep the wrong entry of a day, week or month, weeks that begin on
// another day than Monday, rules that do not add up, and a rolling retention that loses
// what the rules name at the end: a year of nightly backups under the default policy.
TEST_F(HistoryTest, AYearOfNightlyBackupsKeepsWhatTheRulesName) {
    using namespace std::chrono;
    const auto night = [](int month, int day) {
        return (sys_days(
                    year_month_day{year(2026), std::chrono::month(month), std::chrono::day(day)})
                    .time_since_epoch() /
                seconds(1)) +
               9000; // 02:30
    };
    for (std::int64_t at = night(1, 1); at <= night(12, 31); at += 86400) {
        WriteText(live / "night", std::to_string(at));
        services.clock.utc = at;
        ASSERT_EQ(Run(Operation::Backup, {}, {}, 0).result, AppResult::Ok);
    }
    std::vector<std::string> expected;
    for (int day = 30; day >= 21; --day) {
        expected.push_back(history::Stamp(night(12, day))); // the last ten (and the days)
    }
    for (const auto& [month, day] :
         std::initializer_list<std::pair<int, int>>{{12, 20},
                                                    {12, 13}, // the weeks, Monday to Sunday
                                                    {11, 30},
                                                    {10, 31},
                                                    {9, 30},
                                                    {8, 31},
                                                    {7, 31}}) { // the months
        expected.push_back(history::Stamp(night(month, day)));
    }
    EXPECT_EQ(Ids(), expected);
}

// Ten nightly backups of settings of which one file changes each night.
// Catches: a generation that does not read back as the Settings it was made of (a link to
// a file that changed, a link whose bytes a later backup changed); generations that cost a
// whole copy each; a disk use that counts a shared file once per generation; a Restore
// that gives the app a file its backups share.
TEST_F(HistoryTest, TenGenerationsReadBackExactAndShareWhatDidNotChange) {
    Drop();
    const std::string kilobyte(1000, 'k');
    for (int f = 0; f < 20; ++f) {
        WriteText(live / ("part" + std::to_string(f / 5)) / ("file" + std::to_string(f)), kilobyte);
    }
    std::vector<std::string> states;
    for (int night = 0; night < 10; ++night) {
        WriteText(live / "part1" / "file5", std::string(1000, static_cast<char>('a' + night)));
        const auto outcome = Run(Operation::Backup);
        ASSERT_EQ(outcome.result, AppResult::Ok) << outcome.reason;
        EXPECT_EQ(outcome.linked, night == 0 ? 0U : 19U) << night;
        EXPECT_EQ(outcome.written, night == 0 ? 20U : 1U) << night;
        states.push_back(TreeFingerprint(live));
    }
    const std::vector<std::string> ids = Ids();
    ASSERT_EQ(ids.size(), 9U);
    EXPECT_EQ(TreeFingerprint(backup / "Settings"), states[9]);
    for (std::size_t i = 0; i < ids.size(); ++i) {
        EXPECT_EQ(TreeFingerprint(Entry(ids[i])), states[8 - i]) << ids[i];
    }
    // One copy, the nine files that changed after it, and the records beside them.
    EXPECT_LE(history::DiskBytes(roots, kApp), 29000U + 200U);
    EXPECT_GE(history::DiskBytes(roots, kApp), 29000U);
    platform::Below newest = history::EntryFolder(roots, kApp, ids[0]);
    newest.names.push_back("Settings");
    EXPECT_EQ(history::Hold(newest).own, 1000U) << "the file only it holds";
    EXPECT_EQ(history::Hold(newest).bytes, 20000U);

    // The moment that spares the next Backup the reading; a damaged one is no moment.
    EXPECT_TRUE(history::LatestBackup(roots, kApp).readSince);
    const std::string record = ReadText(backup / "Settings.time");
    WriteText(backup / "Settings.time", record.substr(0, record.find("read ")) + "read 1x.5\r\n");
    EXPECT_FALSE(history::LatestBackup(roots, kApp).readSince);
    EXPECT_TRUE(history::LatestBackup(roots, kApp).time);

    ASSERT_EQ(Run(Operation::Restore, {}, ids[4]).result, AppResult::Ok);
    EXPECT_EQ(TreeFingerprint(live), states[4]);
    for (const auto& entry : fs::recursive_directory_iterator(live)) {
        if (entry.is_regular_file()) {
            EXPECT_EQ(fs::hard_link_count(entry.path()), 1U) << entry.path();
        }
    }
}

#ifndef _WIN32
// Catches: a Restore whose program folder is on another volume than the profile losing
// the live Settings (a rename cannot cross volumes) or keeping only part of it, and one
// that failed there leaving an entry behind as if it had restored.
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
