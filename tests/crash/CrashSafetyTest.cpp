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

// What the rounds work on: `reset` puts the initial state in place, `read` gives the state
// as text, `sweep` counts and clears what a killed save left behind, `save(n)` is save
// number n of an endless sequence whose states are `states`.
struct Subject {
    std::function<void()> reset;
    std::function<std::string()> read;
    std::function<int()> sweep;
    std::function<bool(long n)> save;
    std::set<std::string> states;
};

// Written by the child, read once it is dead: `inSave` tells whether the kill came mid-save.
struct Progress {
    std::atomic<int> started;
    std::atomic<int> inSave;
};

// Never returns: returning would run the rest of the test program again in the child.
[[noreturn]] void SaveUntilKilled(const Subject& subject, Progress& progress, pid_t parent) try {
    progress.started = 1;
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    for (long n = 0;; ++n) {
        progress.inSave = 1;
        if (!subject.save(n)) {
            ::_exit(3);
        }
        progress.inSave = 0;
        // An orphan or a kill that never came: stop instead of saving forever.
        if (::getppid() != parent || Clock::now() > deadline) {
            ::_exit(4);
        }
    }
} catch (...) {
    ::_exit(5);
}

// 100 rounds of: initial state, a child saving, a kill, a check. Returns the leftovers.
int KillWhileSaving(const Subject& subject) {
    auto* progress = static_cast<Progress*>(::mmap(
        nullptr, sizeof(Progress), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    // Pauses from a tenth of a save to five saves, timed here as the child will save, so
    // kills fall inside the first save, between saves and inside later ones.
    subject.reset();
    const std::string initial = subject.read();
    const auto before = Clock::now();
    for (long n = 0; n < 4; ++n) {
        EXPECT_TRUE(subject.save(n));
    }
    const long us = std::max<long>(
        10,
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - before).count() / 4);
    std::mt19937 random(std::random_device{}());
    std::uniform_int_distribution<long> pause(us / 10, 5 * us);
    int killedInSave = 0;
    int changed = 0;
    int leftovers = 0;
    for (int round = 0; round < 100; ++round) {
        subject.reset();
        progress->started = 0;
        const pid_t parent = ::getpid();
        const pid_t child = ::fork();
        if (child == 0) {
            SaveUntilKilled(subject, *progress, parent);
        }
        int status = 0;
        while (progress->started == 0 && ::waitpid(child, &status, WNOHANG) == 0) {
            std::this_thread::sleep_for(std::chrono::microseconds(20));
        }
        std::this_thread::sleep_for(std::chrono::microseconds(pause(random)));
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
        leftovers += subject.sweep();
    }
    ::munmap(progress, sizeof(Progress));
    // Kills that all fell between saves, or all before the first one, would prove nothing.
    EXPECT_GT(killedInSave, 0);
    EXPECT_GT(changed, 0);
    return leftovers;
}

// A file saved by `save(path, n)`. Its states are found by running the same sequence in a
// scratch folder: after the first cycle they repeat, and a child gets through a few saves.
Subject FileSubject(const fs::path& file, const std::string& initial,
                    const std::function<bool(const std::string&, long)>& save) {
    TempDir scratch;
    const fs::path rehearsal = scratch.path() / file.filename();
    WriteText(rehearsal, initial);
    std::set<std::string> states{initial};
    for (long n = 0; n < 64; ++n) {
        EXPECT_TRUE(save(rehearsal.string(), n));
        states.insert(ReadText(rehearsal));
    }
    // A leftover must never be taken for the file itself, by its name or its extension.
    const auto sweep = [file] {
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
    return {[=] { WriteText(file, initial); }, [=] { return ReadText(file); }, sweep,
            [=](long n) { return save(file.string(), n); }, states};
}

// Lines long enough that one save writes a couple of hundred kilobytes, so a kill often
// lands while the data is still going out.
std::vector<std::string> Names(const std::string& stem, int count) {
    std::vector<std::string> names;
    for (int i = 0; i < count; ++i) {
        names.push_back(stem + std::to_string(100000 + i) + "_8wekyb3d8bbwe");
    }
    return names;
}

TEST(CrashSafety, AppListAndLogAreAlwaysTheWholeOldOrNewFile) {
    TempDir dir;
    const auto a = Names("Example.Notes.Package", 7000);
    const auto b = Names("Contoso.Tool", 8000);
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
        WriteText(settings / ("f" + std::to_string(i % 6)) / name,
                  std::string(1000 + 50 * i, version[0]));
    }
    if (version == "B") {
        WriteText(settings / "app.db-wal", "journal of version B");
    }
}

// Backup and Restore are the same copy: B and A in turn over an app's Settings. The next
// copy must leave nothing of ours beside it, and the app's other folders stay as they were.
TEST(CrashSafety, CopiedSettingsAreAlwaysTheWholeOldOrNewFolder) {
    ProfileFixture profile;
    const fs::path backup = profile.program() / "Backup";
    WriteSettings(backup / "Version.A_a" / "Settings", "A");
    WriteSettings(backup / "Version.B_b" / "Settings", "B");
    const fs::path app = profile.AddPackage("Example.App_e");
    const auto untouched = TreeFingerprint(app / "LocalState");
    const auto from = [&](const char* version) {
        return platform::Below{backup.string(), {version, "Settings"}};
    };
    const platform::Below into{profile.packages().string(), {"Example.App_e"}};
    const auto copyA = [=] { return platform::CopyTree(from("Version.A_a"), into) == 0; };
    const std::string initial = TreeFingerprint(backup / "Version.A_a" / "Settings");
    const Subject subject{
        [=] {
            if (TreeFingerprint(app / "Settings") != initial) {
                copyA();
            }
        },
        [=] { return TreeFingerprint(app / "Settings"); },
        [=] {
            int left = copyA() ? 0 : 1;
            for (const auto& entry : fs::directory_iterator(app)) {
                left += entry.path().filename().string().find("dittoly") != std::string::npos;
            }
            return left;
        },
        [=](long n) {
            return platform::CopyTree(from(n % 2 ? "Version.A_a" : "Version.B_b"), into) == 0;
        },
        {initial, TreeFingerprint(backup / "Version.B_b" / "Settings")}};
    EXPECT_EQ(KillWhileSaving(subject), 0);
    EXPECT_EQ(TreeFingerprint(app / "LocalState"), untouched);
}

} // namespace
