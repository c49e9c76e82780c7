// The three files the program saves and an app's copied Settings must survive the process
// dying at any moment: after a SIGKILL each is always one whole state, never a mix or a
// cut. Each round forks a child that saves in turn as fast as it can, kills it after a
// random pause, and compares what is on disk with every state the saves pass through.
// Long because a kill must be seen to land inside a save, for each kind of save.

#include "Fixtures.h"
#include "RecordingServices.h"
#include "operations/History.h"
#include "operations/RunFrame.h"
#include "platform/Ini.h"
#include "platform/Platform.h"
#include "settings/AppListFile.h"
#include "settings/modINI.h"
#include "start/modGlobal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <optional>
#include <random>
#include <set>
#include <sys/mman.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

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

// Written by the child, read once it is dead: `inSave` tells whether the kill came mid-save.
struct Progress {
    std::atomic<int> started, inSave;
};

// Never returns: returning would run the rest of the test program again in the child.
[[noreturn]] void SaveUntilKilled(const Subject& subject, Progress& progress, pid_t parent) try {
    progress.started = 1;
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    for (long n = 0;; ++n) {
        progress.inSave = 1;
        const bool saved = subject.save(n);
        progress.inSave = 0;
        // A failed save, an orphan or a kill that never came: stop instead of saving forever.
        if (!saved || ::getppid() != parent || Clock::now() > deadline) {
            ::_exit(3);
        }
    }
} catch (...) {
    ::_exit(5);
}

// 100 rounds of: a child saving, a kill, a check, the initial state back. The leftovers.
int KillWhileSaving(const Subject& subject) {
    auto* progress = static_cast<Progress*>(::mmap(
        nullptr, sizeof(Progress), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    // Pauses from a tenth of a save to five saves, timed here as the child will save, so
    // kills fall inside the first save, between saves and inside later ones.
    subject.restore();
    const std::string initial = subject.read();
    const auto before = Clock::now();
    for (long n = 0; n < 4; ++n) {
        EXPECT_TRUE(subject.save(n));
    }
    const long us = std::max<long>(10, (Clock::now() - before) / microseconds(4)); // one save
    std::mt19937 random(std::random_device{}());
    std::uniform_int_distribution<long> pause(us / 10, 5 * us);
    subject.restore(); // what these saves did
    int killedInSave = 0, changed = 0, leftovers = 0;
    for (int round = 0; round < 100; ++round) {
        progress->started = 0;
        const pid_t parent = ::getpid();
        const pid_t child = ::fork();
        if (child == 0) {
            SaveUntilKilled(subject, *progress, parent);
        }
        int status = 0;
        while (progress->started == 0 && ::waitpid(child, &status, WNOHANG) == 0) {
            std::this_thread::sleep_for(microseconds(20));
        }
        std::this_thread::sleep_for(microseconds(pause(random)));
        ::kill(child, SIGKILL);
        ::waitpid(child, &status, 0);
        if (!WIFSIGNALED(status)) {
            ADD_FAILURE() << "the child ended on its own: a save failed, nothing was tested";
            break;
        }
        killedInSave += progress->inSave;
        const std::string state = subject.read();
        changed += state != initial;
        EXPECT_EQ(subject.states.count(state), 1u) << "torn: " << state.size() << " bytes";
        leftovers += subject.restore();
    }
    ::munmap(progress, sizeof(Progress));
    // Kills that all fell between saves, or all before the first one, would prove nothing.
    EXPECT_GT(killedInSave, 0);
    EXPECT_GT(changed, 0);
    return leftovers;
}

// A file saved by `save(path, n)`. Its states are found by running the same sequence on
// it first: after the first cycle they repeat, and a child gets through a few saves.
Subject FileSubject(const fs::path& file, const std::string& initial,
                    const std::function<bool(const std::string&, long)>& save) {
    WriteText(file, initial);
    std::set<std::string> states{initial};
    for (long n = 0; n < 64; ++n) {
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

TEST(CrashSafety, AppListAndLogAreAlwaysTheWholeOldOrNewFile) {
    TempDir dir;
    // Long enough that one save writes a couple of hundred kilobytes, so a kill often lands
    // while the data is still going out.
    const std::vector<std::string> a(7000, "Example.Notes.Package_8wekyb3d8bbwe");
    const std::vector<std::string> b(8000, "Contoso.Tool_abcdefghijkmn");
    const auto list = [&](const std::string& path, long n) {
        return settings::WriteAppListFile(path, n % 2 == 0 ? b : a);
    };
    const auto log = [&](const std::string& path, long n) {
        return platform::ReplaceFile(path, modGlobal::CrLfLines(n % 2 == 0 ? b : a));
    };
    KillWhileSaving(
        FileSubject(dir.path() / "Data" / "uapps.dat", settings::AppListContent(a), list));
    KillWhileSaving(
        FileSubject(dir.path() / "Backup" / "Dittoly UA.txt", modGlobal::CrLfLines(a), log));
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
    KillWhileSaving(FileSubject(dir.path() / "Data" / "dittoly.ini", initial, save));
}

// Two versions of an app's Settings: files of the same name with other content, files
// only one of them has, and a database journal that belongs to version B only.
void WriteSettings(const fs::path& settings, const std::string& version) {
    for (int i = 0; i < 60; ++i) {
        const std::string name = (i % 3 == 0 ? "shared" : version) + std::to_string(i) + ".dat";
        WriteText(settings / std::to_string(i % 6) / name, std::string(1000 + 50 * i, version[0]));
    }
    if (version == "B") {
        WriteText(settings / "app.db-wal", "journal of version B");
    }
}

// Backup and Restore, each killed 100 times while it runs over and over: versions A and B
// take turns as what it copies (swapped in one step beside it, so the source is always
// whole), and it keeps two History entries, or none every third run. After any kill the
// copy in place and every History entry is a whole version; the next run leaves nothing
// of ours beside them, and nothing else in the profile changes.
class CopiedSettings : public ::testing::TestWithParam<bool> {};

TEST_P(CopiedSettings, AndTheirHistoryAreAlwaysWholeVersions) {
    ProfileFixture profile;
    const bool isRestore = GetParam();
    const fs::path app = profile.AddPackage("Example.App_e");
    const fs::path backup = profile.program() / "Backup" / "Example.App_e";
    const fs::path from = isRestore ? backup : app; // holds Settings and its Spare
    const fs::path into = isRestore ? app : backup;
    WriteSettings(from / "Settings.A", "A");
    WriteSettings(from / "Settings.B", "B");
    const std::string versions[] = {TreeFingerprint(from / "Settings.A"),
                                    TreeFingerprint(from / "Settings.B")};
    fs::rename(from / "Settings.B", from / "Spare");
    fs::remove_all(from / "Settings");
    fs::rename(from / "Settings.A", from / "Settings");
    profile.AddPackage("Other.App_o");
    const std::string others = TreeFingerprint(profile.packages() / "Other.App_o");
    const Operation op = isRestore ? Operation::Restore : Operation::Backup;
    const modGlobal::Roots roots = profile.roots();
    const auto run = [=](long n, bool b) {
        // The source as version B or A: the two folders change places in one step.
        if ((TreeFingerprint(from / "Settings") == versions[1]) != b) {
            ::renameat2(AT_FDCWD, (from / "Settings").c_str(), AT_FDCWD, (from / "Spare").c_str(),
                        RENAME_EXCHANGE);
        }
        FixedClock clock;
        clock.utc += n;
        RecordingLauncher launcher;
        RecordingHost host;
        return operations::Run(op, {{"Example.App_e", "Example App"}}, roots, clock, launcher, host,
                               {n % 3 == 2 ? 0 : 2, {}})
                   .failed == 0;
    };
    ASSERT_TRUE(run(0, false));
    const auto letter = [&](const fs::path& settings) {
        const std::string tree = TreeFingerprint(settings);
        return tree == versions[0] ? "A" : tree == versions[1] ? "B" : "torn";
    };
    // The version in place, then "whole" when every History entry is one.
    const auto read = [=] {
        std::string state = std::string(letter(into / "Settings")) + "|whole";
        for (const auto& entry : operations::history::List(roots, "Example.App_e")) {
            if (letter(backup / "History" / entry.id / "Settings") == std::string("torn")) {
                state += " torn " + entry.id;
            }
        }
        return state;
    };
    // The next run puts version A in place and leaves nothing of ours behind.
    const auto restore = [=] {
        int left = run(1000, false) ? 0 : 1;
        for (const fs::path& folder : {into, backup, backup / "History"}) {
            for (const auto& entry : fs::directory_iterator(folder)) {
                const std::string name = entry.path().filename().string();
                left += name.find("dittoly") != std::string::npos ||
                        (folder.filename() == "History" &&
                         !fs::is_directory(entry.path() / "Settings"));
            }
        }
        return left;
    };
    const Subject subject{
        restore, read, [=](long n) { return run(n, n % 2 == 0); }, {"A|whole", "B|whole"}};
    EXPECT_EQ(KillWhileSaving(subject), 0);
    EXPECT_EQ(TreeFingerprint(profile.packages() / "Other.App_o"), others);
}

INSTANTIATE_TEST_SUITE_P(CrashSafety, CopiedSettings, ::testing::Bool(), [](const auto& direction) {
    return direction.param ? "Restore" : "Backup";
});

} // namespace
