// The three files the program saves and an app's copied Settings must survive the process
// dying at any moment: after a hard kill each is always one whole state, never a mix or a
// cut. Each round starts a saver that saves in turn as fast as it can, kills it after a
// random number of whole saves and a random pause, and compares what is on disk with every
// state the saves pass through. The saves the saver reports, not the clock, say when the
// pause begins, so the kills fall where they should however fast or loaded the machine is.
// Long because a kill must be seen to land inside a save, for each kind of save.

#include "Fixtures.h"
#include "RecordingServices.h"
#include "common/modGlobal.h"
#include "operations/History.h"
#include "operations/RunFrame.h"
#include "platform/Ini.h"
#include "platform/Platform.h"
#include "settings/AppListFile.h"
#include "settings/modINI.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <optional>
#include <random>
#include <set>
#include <thread>
#ifdef _WIN32
#include <windows.h>
#undef ReplaceFile // the names of ours that it takes
#undef WriteProfileString
#else
#include <csignal>
#include <sys/wait.h>
#include <unistd.h>
#endif

using namespace testsupport;
using operations::Operation;

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::microseconds;

// What the rounds work on: `restore` puts the initial state back and counts what a killed
// save left behind on the way, `read` gives the state as text, `save(n)` is save number n
// of an endless sequence whose states are `states`.
struct Subject {
    std::function<int()> restore;
    std::function<std::string()> read;
    std::function<bool(long n)> save;
    std::set<std::string> states;
};

// The kill comes in the first save, or after one or two whole ones.
constexpr int kMostSavesBefore = 2;

fs::path SavedMarker(const fs::path& dir, long saves) {
    return dir / ("saver-saved-" + std::to_string(saves));
}

// Until the saver has begun (`saves` 0) or finished that many saves, or has ended.
template <class Ended> void WaitForSaves(const fs::path& dir, int saves, Ended ended) {
    const fs::path marker = saves == 0 ? dir / "saver-started" : SavedMarker(dir, saves);
    while (!fs::exists(marker) && !ended()) {
        std::this_thread::sleep_for(microseconds(20));
    }
}

// Never returns: returning would run the rest of the test program again in a forked saver.
// Beside the test's files, in `dir`, it marks that it began, each save while it runs (the
// marker found once it is dead tells whether the kill came mid-save) and the first few
// saves it finished.
[[noreturn]] void SaveUntilKilled(const Subject& subject, const fs::path& dir) try {
    WriteText(dir / "saver-started", "");
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    for (long n = 0;; ++n) {
        WriteText(dir / "saver-saving", "");
        const bool saved = subject.save(n);
        fs::remove(dir / "saver-saving");
        if (n < kMostSavesBefore) {
            WriteText(SavedMarker(dir, n + 1), "");
        }
        // A failed save, or a kill that never came (its parent gone): stop saving.
        if (!saved || Clock::now() > deadline) {
            std::_Exit(3);
        }
    }
} catch (...) {
    std::_Exit(5);
}

// How a saver starts, is killed and waited for: the one part that differs. POSIX forks it.
// Windows cannot: there it is this program started again on the same test, with
// DITTOLY_TEST_DIR naming the test's folder, which its TempDir then takes; it sets nothing
// up and only saves (kSaver). A process starts slowly under Wine, so fewer rounds there;
// kills still land inside saves. Each starts a saver, kills it `pause` after it began or
// finished its `saves`-th save, and tells whether the kill is what ended it.
const bool kSaver = std::getenv("DITTOLY_TEST_DIR") != nullptr;
#ifdef _WIN32
constexpr int kRounds = 40;

bool KillSaver(const Subject&, const fs::path& dir, int saves, microseconds pause) {
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string filter = std::string(test->test_suite_name()) + "." + test->name();
    std::wstring line =
        GetCommandLineW() + (L" --gtest_filter=" + std::wstring(filter.begin(), filter.end()));
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES; // none: its test output would clutter ours
    PROCESS_INFORMATION saver{};
    SetEnvironmentVariableW(L"DITTOLY_TEST_DIR", dir.c_str());
    CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                   &saver);
    SetEnvironmentVariableW(L"DITTOLY_TEST_DIR", nullptr);
    WaitForSaves(dir, saves,
                 [&] { return WaitForSingleObject(saver.hProcess, 0) != WAIT_TIMEOUT; });
    std::this_thread::sleep_for(pause);
    TerminateProcess(saver.hProcess, 99);
    WaitForSingleObject(saver.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(saver.hProcess, &code);
    CloseHandle(saver.hProcess);
    CloseHandle(saver.hThread);
    return code == 99;
}
#else
constexpr int kRounds = 100;

bool KillSaver(const Subject& subject, const fs::path& dir, int saves, microseconds pause) {
    const pid_t saver = ::fork();
    if (saver == 0) {
        SaveUntilKilled(subject, dir);
    }
    int status = 0;
    WaitForSaves(dir, saves, [&] { return ::waitpid(saver, &status, WNOHANG) != 0; });
    std::this_thread::sleep_for(pause);
    ::kill(saver, SIGKILL);
    ::waitpid(saver, &status, 0);
    return WIFSIGNALED(status);
}
#endif

// kRounds rounds of: a saver, a kill, a check, the initial state back. The leftovers.
int KillWhileSaving(const Subject& subject, const TempDir& dir) {
    if (kSaver) {
        SaveUntilKilled(subject, dir.path());
    }
    // After no, one or two whole saves, pauses from a tenth of a save to two saves, timed
    // here as the saver will save, so kills fall inside the first save, between saves and
    // inside later ones. A round that began without a copied Settings folder makes its
    // first copy in its first save.
    subject.restore();
    const auto before = Clock::now();
    for (long n = 0; n < 4; ++n) {
        EXPECT_TRUE(subject.save(n));
    }
    const long us = std::max<long>(10, (Clock::now() - before) / microseconds(4)); // one save
    std::mt19937 random(std::random_device{}());
    std::uniform_int_distribution<long> pause(us / 10, 2 * us);
    std::uniform_int_distribution<int> saves(0, kMostSavesBefore);
    subject.restore(); // what these saves did
    int killedInSave = 0, changed = 0, leftovers = 0;
    for (int round = 0; round < kRounds; ++round) {
        const std::string initial = subject.read();
        fs::remove(dir.path() / "saver-started");
        for (long n = 1; n <= kMostSavesBefore; ++n) {
            fs::remove(SavedMarker(dir.path(), n));
        }
        if (!KillSaver(subject, dir.path(), saves(random), microseconds(pause(random)))) {
            ADD_FAILURE() << "the saver ended on its own: a save failed, nothing was tested";
            break;
        }
        killedInSave += fs::remove(dir.path() / "saver-saving");
        const std::string state = subject.read();
        changed += state != initial;
        EXPECT_EQ(subject.states.count(state), 1u) << "torn: " << state.size() << " bytes";
        leftovers += subject.restore();
    }
    // Kills that all fell between saves, or all before the first one, would prove nothing:
    // a round after a whole save always finds a changed state.
    EXPECT_GT(killedInSave, 0);
    EXPECT_GT(changed, 0);
    return leftovers;
}

// A file saved by `save(path, n)`. Its states are found by running the same sequence on
// it first: after the first cycle they repeat, and a saver gets through a few saves.
Subject FileSubject(const fs::path& file, const std::string& initial,
                    const std::function<bool(const std::string&, long)>& save) {
    WriteText(file, initial);
    std::set<std::string> states{initial};
    for (long n = 0; n < 64 && !kSaver; ++n) { // a saver only saves: its parent checks
        EXPECT_TRUE(save(file.string(), n));
        states.insert(ReadText(file));
    }
    // A leftover must never be taken for the file itself, by its name or its extension.
    const auto restore = [file, initial] {
        WriteText(file, initial);
        int count = 0;
        for (const auto& entry : fs::directory_iterator(file.parent_path())) {
            if (entry.path() != file) {
                const std::string name = entry.path().filename().string();
                EXPECT_TRUE(name.starts_with(file.filename().string() + ".tmp-")) << name;
                EXPECT_NE(entry.path().extension(), file.extension()) << name;
                count += static_cast<int>(fs::remove(entry.path()));
            }
        }
        return count;
    };
    return {restore, [=] { return ReadText(file); }, [=](long n) { return save(file.string(), n); },
            states};
}

// Long enough that one save writes a couple of hundred kilobytes, so a kill often lands
// while the data is still going out.
const std::vector<std::string> listA(7000, "Example.Notes.Package_8wekyb3d8bbwe");
const std::vector<std::string> listB(8000, "Contoso.Tool_abcdefghijkmn");

TEST(CrashSafety, AppListIsAlwaysTheWholeOldOrNewFile) {
    TempDir dir;
    const auto save = [](const std::string& path, long n) {
        return settings::WriteAppListFile(path, n % 2 ? listA : listB);
    };
    KillWhileSaving(
        FileSubject(dir.path() / "Data" / "uapps.dat", settings::AppListContent(listA), save), dir);
}

TEST(CrashSafety, LogIsAlwaysTheWholeOldOrNewFile) {
    TempDir dir;
    const auto save = [](const std::string& path, long n) {
        return platform::ReplaceFile(path, modGlobal::CrLfLines(n % 2 ? listA : listB));
    };
    KillWhileSaving(
        FileSubject(dir.path() / "Backup" / "Dittoly UA.txt", modGlobal::CrLfLines(listA), save),
        dir);
}

// The settings file is saved with one profile-string write per key, as the program does on
// close, so it may hold any state between two writes of the sequence.
TEST(CrashSafety, SettingsFileIsAlwaysOneWholeStateOfTheCloseSequence) {
    TempDir dir;
    const std::string appsA = modINI::JoinAppChecks(std::vector<bool>(45000, true));
    const std::string appsB = modINI::JoinAppChecks(std::vector<bool>(40000, false));
    const auto save = [&](const std::string& path, long n) {
        static const char* const keys[] = {"RunOnce", "DateRun", "Settings", "Apps",
                                           "Left",    "Top",     "Height",   "Width"};
        const std::string key = keys[n % 8];
        const bool a = (n / 8) % 2 == 0;
        std::optional<std::string> value; // DateRun goes
        if (key != "DateRun") {
            value = key == "Apps" ? (a ? appsA : appsB) : std::string(a ? "1200" : "-480");
        }
        return platform::WriteProfileString("UA", key, value, path) != 0;
    };
    // As a first run and a hand edit leave it: a comment, a stale key, another section.
    const std::string initial = "; Dittoly UA settings\r\n[UA]\r\nDateRun=2025-11-30\r\n"
                                "Width=9000\r\n\r\n[Other]\r\nKeep=this\r\n";
    KillWhileSaving(FileSubject(dir.path() / "Data" / "dittoly.ini", initial, save), dir);
}

// Two versions of an app's Settings: files of the same name with other content, files
// only one of them has, and a database journal that belongs to version B only. The
// "shared" files are alike in both (contents and times), so a backup of one over the
// other links them: kills land while it links too.
void WriteSettings(const fs::path& settings, const std::string& version,
                   const fs::path& like = {}) {
    for (int i = 0; i < 60; ++i) {
        const bool shared = i % 3 == 0;
        const fs::path file = settings / std::to_string(i % 6) /
                              ((shared       ? "shared"
                                : i % 3 == 1 ? "other"
                                             : version) +
                               std::to_string(i) + ".dat");
        WriteText(file, std::string(1000 + 50 * i, shared ? 's' : version[0]));
        if (shared && !like.empty()) {
            fs::last_write_time(file, fs::last_write_time(like / fs::relative(file, settings)));
        }
    }
    if (version == "B") {
        WriteText(settings / "app.db-wal", "journal of version B");
    }
}

// Backup and Restore, each killed kRounds times while it runs over and over, holding the
// app's lock and often while it prunes: versions A and B take turns as what it copies
// (passed round by renames beside it, a swap cut short finished first, so every run copies
// a whole version), and it keeps two History entries, or none every third run. Every other
// round begins with no copy in place, as a first Backup or Restore does. After any kill
// the copy in place (or none, where there was none) and every History entry is a whole
// version; the next run is not stopped by the lock the killed one held and leaves nothing
// of ours beside them, and nothing else in the profile changes.
class CopiedSettings : public ::testing::TestWithParam<bool> {};

TEST_P(CopiedSettings, AndTheirHistoryAreAlwaysWholeVersions) {
    ProfileFixture profile;
    const bool isRestore = GetParam();
    const fs::path app = profile.packages() / "Example.App_e";
    const fs::path backup = profile.program() / "Backup" / "Example.App_e";
    const fs::path from = isRestore ? backup : app; // holds Settings and its Spare
    const fs::path into = isRestore ? app : backup;
    std::string versions[2], others;
    if (!kSaver) { // a saver finds all this made
        profile.AddPackage("Example.App_e");
        fs::remove_all(from / "Settings");
        WriteSettings(from / "Settings", "A");
        WriteSettings(from / "Spare", "B", from / "Settings");
        versions[0] = TreeFingerprint(from / "Settings");
        versions[1] = TreeFingerprint(from / "Spare");
        others = TreeFingerprint(profile.AddPackage("Other.App_o"));
    }
    const Operation op = isRestore ? Operation::Restore : Operation::Backup;
    const modGlobal::Roots roots = profile.roots();
    const auto run = [=](long n, bool b) {
        // The source as version B or A: Settings, Spare and Swap pass the versions round by
        // renames into the one free name (Settings to Swap, Spare to Settings, Swap to
        // Spare), so a round that a kill cut short is finished first.
        const char* const names[] = {"Settings", "Spare", "Swap"};
        for (int k = 0; k < 6 && (fs::exists(from / "Swap") ||
                                  fs::exists(from / "Settings" / "app.db-wal") != b);
             ++k) {
            if (!fs::exists(from / names[(k + 2) % 3])) {
                fs::rename(from / names[k % 3], from / names[(k + 2) % 3]);
            }
        }
        FixedClock clock;
        clock.utc += n;
        RecordingLauncher launcher;
        RecordingHost host;
        return operations::Run(op, {{"Example.App_e", "Example App"}}, roots, clock, launcher, host,
                               {operations::history::Policy::Newest(n % 3 == 2 ? 0 : 2), {}, 0})
                   .failed == 0;
    };
    ASSERT_TRUE(kSaver || run(0, false));
    const auto letter = [&](const fs::path& settings) {
        const std::string tree = TreeFingerprint(settings);
        return tree == versions[0] ? "A" : tree == versions[1] ? "B" : "torn";
    };
    // The version in place, then "whole" when every History entry is one. Windows cannot
    // exchange two folders: a kill between the two renames of its swap leaves no copy in
    // place and the complete new one beside it, marked ready. A user meets what the next
    // run's recovery makes of that, so a missing copy is read after the same recovery
    // (ClearLeftovers runs it); leftovers beside a copy in place stay for the next run,
    // whose clearing `restore` checks.
    bool fresh = false; // the round began with no copy in place
    const auto read = [=, &fresh] {
        if (!fs::exists(into / "Settings")) {
            platform::ClearLeftovers({into.parent_path().string(), {into.filename().string()}});
        }
        const bool none = fresh && !fs::exists(into / "Settings");
        std::string state = std::string(none ? "none" : letter(into / "Settings")) + "|whole";
        for (const auto& entry : operations::history::List(roots, "Example.App_e")) {
            if (letter(backup / "History" / entry.id / "Settings") == std::string("torn")) {
                state += " torn " + entry.id;
            }
        }
        return state;
    };
    // The next run puts version A in place and leaves nothing of ours behind.
    const auto restore = [=, &fresh] {
        int left = run(1000, false) ? 0 : 1;
        for (const fs::path& folder : {into, backup, backup / "History"}) {
            std::error_code none; // an unchanged first run makes no History
            for (const auto& entry : fs::directory_iterator(folder, none)) {
                const std::string name = entry.path().filename().string();
                left += name.find("dittoly") != std::string::npos || name == "Settings.time.next" ||
                        (folder.filename() == "History" &&
                         !fs::is_directory(entry.path() / "Settings"));
            }
        }
        if ((fresh = !fresh)) {
            fs::remove_all(into / "Settings");
        }
        return left;
    };
    const auto save = [=](long n) { return run(n, n % 2 == 0); };
    const Subject subject{restore, read, save, {"A|whole", "B|whole", "none|whole"}};
    EXPECT_EQ(KillWhileSaving(subject, profile.base()), 0);
    EXPECT_EQ(TreeFingerprint(profile.packages() / "Other.App_o"), others);
}

INSTANTIATE_TEST_SUITE_P(CrashSafety, CopiedSettings, ::testing::Bool(), [](const auto& direction) {
    return direction.param ? "Restore" : "Backup";
});

} // namespace
