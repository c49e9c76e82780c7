// The three files the program saves and an app's copied Settings must survive the process
// dying at any moment: after a SIGKILL each is always one whole state, never a mix or a
// cut. Each round forks a child that saves in turn as fast as it can, kills it after a
// random pause, and compares what is on disk with every state the saves pass through.
// Long because a kill must be seen to land inside a save, for each kind of save.

#include "Fixtures.h"
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
#include <functional>
#include <optional>
#include <random>
#include <set>
#include <sys/mman.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace testsupport;

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

// Backup and Restore are the same copy in two directions, each killed 100 times: versions
// B and A in turn over the app's Settings in its backup (Backup) or in its package folder
// (Restore). The next copy must leave nothing of ours beside it, and nothing else in the
// profile or the program folder may change.
class CopiedSettings : public ::testing::TestWithParam<bool> {};

TEST_P(CopiedSettings, AreAlwaysTheWholeOldOrNewFolder) {
    ProfileFixture profile;
    const bool isRestore = GetParam();
    const fs::path backup = profile.program() / "Backup";
    const fs::path app = profile.AddPackage("Example.App_e");
    const fs::path versions = isRestore ? backup : profile.packages();
    const fs::path into = isRestore ? app : backup / "Example.App_e";
    WriteSettings(versions / "Version.A_a" / "Settings", "A");
    WriteSettings(versions / "Version.B_b" / "Settings", "B");
    fs::create_directories(into);
    const platform::Below target{into.parent_path().string(), {into.filename().string()}};
    const auto copy = [=](const char* version) {
        return platform::CopyTree({versions.string(), {version, "Settings"}}, target) == 0;
    };
    ASSERT_TRUE(copy("Version.A_a"));
    const std::string initial = TreeFingerprint(into / "Settings");
    const std::string everything = TreeFingerprint(profile.base().path());
    // The next copy puts version A back and clears what a killed one left.
    const auto restore = [=] {
        int left = copy("Version.A_a") ? 0 : 1;
        for (const auto& entry : fs::directory_iterator(into)) {
            left += entry.path().filename().string().find("dittoly") != std::string::npos;
        }
        return left;
    };
    const Subject subject{restore,
                          [=] { return TreeFingerprint(into / "Settings"); },
                          [=](long n) { return copy(n % 2 ? "Version.A_a" : "Version.B_b"); },
                          {initial, TreeFingerprint(versions / "Version.B_b" / "Settings")}};
    EXPECT_EQ(KillWhileSaving(subject), 0);
    EXPECT_EQ(TreeFingerprint(profile.base().path()), everything);
}

INSTANTIATE_TEST_SUITE_P(CrashSafety, CopiedSettings, ::testing::Bool(), [](const auto& direction) {
    return direction.param ? "Restore" : "Backup";
});

} // namespace
