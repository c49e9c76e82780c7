// The three files the program saves, a backup and an app's restored Settings must survive
// the process dying at any moment: after a SIGKILL each is always one complete version,
// never a mix or a cut. Each round forks a child that saves two versions in turn as fast
// as it can, kills it after a random pause, and compares what is on disk with every
// version it may hold.
//
// The settings file is saved with one profile-string write per key, as the program does
// on close, and each write replaces the whole file. So it may legitimately hold any state
// between two writes of the sequence; those states are worked out beforehand by running
// the same sequence in a scratch folder.

#include "Fixtures.h"
#include "operations/StatusText.h"
#include "platform/Ini.h"
#include "platform/Platform.h"
#include "settings/AppListFile.h"
#include "settings/modINI.h"
#include "start/modGlobal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <functional>
#include <iostream>
#include <new>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <sys/mman.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace testsupport;

namespace {

constexpr int kRoundsPerFile = 100;

// Save number `n` of the endless sequence the child runs; false when it could not save.
using SaveStep = std::function<bool(long n)>;

// Written by the child, read by the parent once the child is dead, when nothing changes
// it any more: so `inSave` tells exactly whether the kill came in the middle of a save.
struct ChildProgress {
    std::atomic<int> started;
    std::atomic<int> inSave;
    std::atomic<long> saves;
};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<long>::is_always_lock_free,
              "shared between processes, so it must not hide a lock");

struct Tally {
    int kills = 0;
    int killedInSave = 0;
    long saves = 0;
    int changed = 0; // rounds that ended with another file than the initial one
    long saveMicros = 0;
    int torn = 0;
    int leftovers = 0;
    std::string firstTorn;
};

void SleepMicroseconds(long us) {
    std::this_thread::sleep_for(std::chrono::microseconds(us));
}

// The child's whole life. It never returns: returning would run the rest of the test
// program a second time in the child.
[[noreturn]] void SaveUntilKilled(const SaveStep& save, ChildProgress& progress, pid_t parent) {
    try {
        progress.started = 1;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        for (long n = 0;; ++n) {
            progress.inSave = 1;
            const bool ok = save(n);
            progress.inSave = 0;
            ++progress.saves;
            if (!ok) {
                ::_exit(3);
            }
            // An orphan or a kill that never came: stop instead of saving forever.
            if (::getppid() != parent || std::chrono::steady_clock::now() > deadline) {
                ::_exit(4);
            }
        }
    } catch (...) {
        ::_exit(5);
    }
}

// What the rounds work on: `reset` puts the initial state in place, `read` gives the state
// as text, `sweep` counts and clears what a killed save left behind.
struct Subject {
    std::function<void()> reset;
    std::function<std::string()> read;
    std::function<int()> sweep;
};

// Removes and counts what a killed save left beside the file. A leftover must never be
// taken for the file itself, by its name or by its extension.
int SweepLeftovers(const fs::path& folder, const std::string& leaf) {
    int count = 0;
    for (const auto& entry : fs::directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        if (name == leaf) {
            continue;
        }
        EXPECT_TRUE(name.starts_with(leaf + ".tmp-")) << "unexpected file " << name;
        EXPECT_NE(entry.path().extension(), fs::path(leaf).extension()) << name;
        fs::remove(entry.path());
        ++count;
    }
    return count;
}

std::string Describe(const std::string& bytes, const std::set<std::string>& versions) {
    std::size_t longestPrefix = 0;
    for (const std::string& version : versions) {
        std::size_t same = 0;
        while (same < bytes.size() && same < version.size() && bytes[same] == version[same]) {
            ++same;
        }
        longestPrefix = std::max(longestPrefix, same);
    }
    return std::to_string(bytes.size()) + " bytes, agreeing with a version for the first " +
           std::to_string(longestPrefix);
}

Subject FileSubject(const fs::path& file, const std::string& initial) {
    return {[=] { WriteText(file, initial); }, [=] { return ReadText(file); },
            [=] { return SweepLeftovers(file.parent_path(), file.filename().string()); }};
}

// `rounds` times: put the initial state in place, let a child save, kill it, check.
Tally KillWhileSaving(const Subject& subject, const std::string& initial, const SaveStep& save,
                      const std::set<std::string>& versions, int rounds) {
    void* memory = ::mmap(nullptr, sizeof(ChildProgress), PROT_READ | PROT_WRITE,
                          MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) {
        ADD_FAILURE() << "no shared memory for the child's progress";
        return {};
    }
    auto* progress = new (memory) ChildProgress{};
    // Pauses from a tenth of a save to five saves: kills then fall inside the first save,
    // between saves and inside later ones, however fast the disk and the build are. A save
    // is timed here, in the parent, the way the child will do it.
    subject.reset();
    const auto before = std::chrono::steady_clock::now();
    for (long n = 0; n < 4; ++n) {
        if (!save(n)) {
            ADD_FAILURE() << "a save failed before any kill";
            return {};
        }
    }
    const long saveMicros =
        std::max<long>(10, std::chrono::duration_cast<std::chrono::microseconds>(
                               std::chrono::steady_clock::now() - before)
                                   .count() /
                               4);
    std::mt19937 random(std::random_device{}());
    std::uniform_int_distribution<long> pause(saveMicros / 10, 5 * saveMicros);
    const pid_t parent = ::getpid();

    Tally tally;
    tally.saveMicros = saveMicros;
    for (int round = 0; round < rounds; ++round) {
        subject.reset();
        progress->started = 0;
        progress->inSave = 0;
        progress->saves = 0;

        const pid_t child = ::fork();
        if (child < 0) {
            ADD_FAILURE() << "fork failed";
            break;
        }
        if (child == 0) {
            SaveUntilKilled(save, *progress, parent);
        }
        // The pause counts from the child's first save, not from the fork.
        int status = 0;
        bool ended = false;
        while (progress->started == 0 && !ended) {
            ended = ::waitpid(child, &status, WNOHANG) == child;
            SleepMicroseconds(20);
        }
        if (!ended) {
            SleepMicroseconds(pause(random));
            ::kill(child, SIGKILL);
            while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
            }
        }
        if (!WIFSIGNALED(status) || WTERMSIG(status) != SIGKILL) {
            ADD_FAILURE() << "the saving child ended on its own (exit "
                          << (WIFEXITED(status) ? WEXITSTATUS(status) : -1)
                          << "): a save failed, so nothing was tested";
            break;
        }
        ++tally.kills;
        tally.killedInSave += progress->inSave.load();
        tally.saves += progress->saves.load();

        const std::string bytes = subject.read();
        tally.changed += bytes != initial ? 1 : 0;
        if (versions.count(bytes) == 0) {
            if (tally.torn++ == 0) {
                tally.firstTorn = Describe(bytes, versions);
            }
        }
        tally.leftovers += subject.sweep();
    }
    ::munmap(memory, sizeof(ChildProgress));
    return tally;
}

void Report(const std::string& what, const Tally& tally) {
    std::cout << "crash safety, " << what << ": " << tally.kills << " kills, " << tally.torn
              << " torn files, " << tally.leftovers << " leftover temp files (one save takes "
              << tally.saveMicros << " us; " << tally.killedInSave
              << " kills in the middle of a save, " << tally.changed
              << " after the file had changed, " << tally.saves << " saves completed)\n";
    EXPECT_EQ(tally.kills, kRoundsPerFile);
    EXPECT_EQ(tally.torn, 0) << "first torn file: " << tally.firstTorn;
    // Kills that all fell between saves, or all before the first save was through, would
    // prove nothing.
    EXPECT_GT(tally.killedInSave, 0);
    EXPECT_GT(tally.changed, 0);
}

// Lines long enough that one save writes a couple of hundred kilobytes, so a kill often
// lands while the data is still going out.
std::vector<std::string> Names(const std::string& stem, int count, const std::string& hash) {
    std::vector<std::string> names;
    for (int i = 0; i < count; ++i) {
        names.push_back(stem + std::to_string(100000 + i) + "_" + hash);
    }
    return names;
}

TEST(CrashSafety, AppListFileIsAlwaysTheWholeOldOrNewList) {
    TempDir dir;
    const fs::path file = dir.path() / "Data" / "uapps.dat";
    const auto a = Names("Example.Notes.Package", 7000, "8wekyb3d8bbwe");
    const auto b = Names("Contoso.Tool", 8000, "abcdefghijkmn");
    const std::set<std::string> versions{settings::AppListContent(a), settings::AppListContent(b)};
    ASSERT_GT(versions.begin()->size(), 200'000u);

    const SaveStep save = [&](long n) {
        return settings::WriteAppListFile(file.string(), n % 2 == 0 ? b : a);
    };
    const std::string initial = settings::AppListContent(a);
    Report("app list",
           KillWhileSaving(FileSubject(file, initial), initial, save, versions, kRoundsPerFile));
}

TEST(CrashSafety, LogFileIsAlwaysTheWholeOldOrNewLog) {
    TempDir dir;
    const fs::path file = dir.path() / "Backup" / "Dittoly UA.txt";
    const auto log = [](const std::string& word, int apps, bool ok) {
        std::vector<std::string> lines{
            operations::HeaderLine("Backup started", "Saturday, 6 December 2025")};
        for (int i = 0; i < apps; ++i) {
            const std::string app = "Example.App" + std::to_string(i) + "_8wekyb3d8bbwe";
            lines.push_back(operations::StampedLine(
                "10:4" + std::to_string(i % 10) + ":00",
                operations::CopyLine(app, word, "/home/user/AppData/Local/Packages/" + app,
                                     "/opt/dittoly/Backup/" + app, ok)));
        }
        for (const auto& line : operations::StatisticsLines("Apps: ", std::to_string(apps))) {
            lines.push_back(line);
        }
        return lines;
    };
    const auto a = log(operations::kWordBackup, 1200, true);
    const auto b = log(operations::kWordRestore, 1400, false);
    const std::set<std::string> versions{modGlobal::CrLfLines(a), modGlobal::CrLfLines(b)};
    ASSERT_GT(versions.begin()->size(), 200'000u);

    const SaveStep save = [&](long n) {
        return platform::ReplaceFile(file.string(), modGlobal::CrLfLines(n % 2 == 0 ? b : a));
    };
    const std::string initial = modGlobal::CrLfLines(a);
    Report("log",
           KillWhileSaving(FileSubject(file, initial), initial, save, versions, kRoundsPerFile));
}

// One key of the close sequence, with its value for each of the two versions.
struct CloseWrite {
    const char* key;
    std::optional<std::string> a;
    std::optional<std::string> b;
};

TEST(CrashSafety, SettingsFileIsAlwaysOneWholeStateOfTheCloseSequence) {
    TempDir dir;
    const fs::path file = dir.path() / "Data" / "dittoly.ini";
    std::vector<bool> ticksA(45000);
    std::vector<bool> ticksB(40000);
    for (std::size_t i = 0; i < ticksA.size(); ++i) {
        ticksA[i] = i % 3 == 0;
    }
    for (std::size_t i = 0; i < ticksB.size(); ++i) {
        ticksB[i] = i % 5 != 0;
    }
    // The order the program writes in on close: run info, ticks, window placement.
    const std::vector<CloseWrite> close{
        {"RunOnce", "1", "1"},
        {"DateRun", std::nullopt, std::nullopt},
        {"Settings", "1", "2"},
        {"Apps", modINI::JoinAppChecks(ticksA), modINI::JoinAppChecks(ticksB)},
        {"Left", modINI::FormatTwips(1200), modINI::FormatTwips(1234.5)},
        {"Top", modINI::FormatTwips(960), modINI::FormatTwips(-480)},
        {"Height", modINI::FormatTwips(7200), modINI::FormatTwips(6600)},
        {"Width", modINI::FormatTwips(9600), modINI::FormatTwips(10080)},
    };
    // A file as a first run and a hand edit leave it: comments, a stale DateRun, keys in
    // another order, and a section of someone else's.
    const std::string initial = "; Dittoly UA settings\r\n"
                                "[UA]\r\n"
                                "DateRun=2025-11-30\r\n"
                                "Width=9000\r\n"
                                "RunOnce=0\r\n"
                                "\r\n"
                                "[Other]\r\n"
                                "Keep=this\r\n";
    const auto stepsPerVersion = static_cast<long>(close.size());
    const auto saveTo = [&](const std::string& path) {
        return [&close, stepsPerVersion, path](long n) {
            const CloseWrite& write = close[static_cast<std::size_t>(n % stepsPerVersion)];
            const bool versionA = (n / stepsPerVersion) % 2 == 0;
            return platform::WriteProfileString("UA", write.key, versionA ? write.a : write.b,
                                                path) != 0;
        };
    };

    // Every state the sequence passes through, from the initial file on. After the first
    // round every key exists and only values change, so the states repeat from then on;
    // the check below shows that, so the set holds every state however many saves a child
    // gets through before its kill.
    TempDir scratch;
    const fs::path rehearsal = scratch.path() / "dittoly.ini";
    WriteText(rehearsal, initial);
    std::set<std::string> states{initial};
    std::size_t statesAfterTwoRounds = 0;
    const SaveStep rehearse = saveTo(rehearsal.string());
    for (long n = 0; n < 4 * 2 * stepsPerVersion; ++n) {
        ASSERT_TRUE(rehearse(n));
        states.insert(ReadText(rehearsal));
        if (n + 1 == 2 * 2 * stepsPerVersion) {
            statesAfterTwoRounds = states.size();
        }
    }
    ASSERT_EQ(states.size(), statesAfterTwoRounds) << "the sequence does not settle";
    ASSERT_GT(states.size(), 10u);
    ASSERT_GT(ReadText(rehearsal).size(), 80'000u);

    Report("settings", KillWhileSaving(FileSubject(file, initial), initial, saveTo(file.string()),
                                       states, kRoundsPerFile));
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

// The child copies version B and A in turn over `target`/Settings; each round starts from
// A, and the next run (a copy of A) must leave nothing but Settings of ours beside it.
void KillWhileCopying(const std::string& what, const platform::Below& a, const platform::Below& b,
                      const platform::Below& target) {
    const fs::path settings = fs::path(target.root) / target.names.back() / "Settings";
    const auto copyA = [=] { return platform::CopyTree(a, target) == 0; };
    const auto versionOf = [](const platform::Below& from) {
        return TreeFingerprint(fs::path(from.root) / from.names[0] / "Settings");
    };
    const std::string initial = versionOf(a);
    const Subject subject{
        [=] {
            if (TreeFingerprint(settings) != initial) {
                copyA();
            }
        },
        [=] { return TreeFingerprint(settings); },
        [=] {
            int left = copyA() ? 0 : 1;
            for (const auto& entry : fs::directory_iterator(settings.parent_path())) {
                left += entry.path().filename().string().find("dittoly") != std::string::npos;
            }
            return left;
        }};
    const SaveStep save = [&](long n) {
        return platform::CopyTree(n % 2 == 0 ? b : a, target) == 0;
    };
    const Tally tally =
        KillWhileSaving(subject, initial, save, {initial, versionOf(b)}, kRoundsPerFile);
    Report(what, tally);
    EXPECT_EQ(tally.leftovers, 0);
}

TEST(CrashSafety, BackupIsAlwaysTheWholeOldOrNewCopy) {
    ProfileFixture profile;
    WriteSettings(profile.AddPackage("Version.A_a") / "Settings", "A");
    WriteSettings(profile.AddPackage("Version.B_b") / "Settings", "B");
    const std::string packages = profile.packages().string();
    const std::string backup = (profile.program() / "Backup").string();
    fs::create_directories(fs::path(backup) / "Example.App_e");
    KillWhileCopying("backup", {packages, {"Version.A_a", "Settings"}},
                     {packages, {"Version.B_b", "Settings"}}, {backup, {"Example.App_e"}});
}

TEST(CrashSafety, RestoredSettingsAreAlwaysTheWholeOldOrNewFolder) {
    ProfileFixture profile;
    const fs::path backup = profile.program() / "Backup";
    WriteSettings(backup / "Version.A_a" / "Settings", "A");
    WriteSettings(backup / "Version.B_b" / "Settings", "B");
    const fs::path app = profile.AddPackage("Example.App_e");
    const auto untouched = TreeFingerprint(app / "LocalState");
    KillWhileCopying("restore", {backup.string(), {"Version.A_a", "Settings"}},
                     {backup.string(), {"Version.B_b", "Settings"}},
                     {profile.packages().string(), {"Example.App_e"}});
    EXPECT_EQ(TreeFingerprint(app / "LocalState"), untouched);
}

} // namespace
