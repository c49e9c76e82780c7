// The Windows platform layer through the real Win32 calls (run under Wine here). What
// Wine cannot show is skipped with its reason, never faked.
#include "Fixtures.h"
#include "WinTestPaths.h"
#include "catalogue/modApps.h"
#include "platform/Platform.h"
#include "settings/AppListFile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <tuple>
#include <windows.h>
// The system header names its own ReplaceFile; ours is platform::ReplaceFile.
#undef ReplaceFile

namespace {

using namespace testsupport;
using platform::Below;

std::string Read(const std::string& path) {
    return platform::ReadWholeFile(path).value_or("<missing>");
}

std::vector<std::string> Names(const std::string& folder) {
    std::vector<std::string> names;
    platform::ListFolder(folder, [&](std::string_view name, platform::EntryKind) {
        names.emplace_back(name);
        return true;
    });
    std::sort(names.begin(), names.end());
    return names;
}

// A walk that went by dot names, or ignored the attributes, would list apps whose only
// files Windows hides, and take hidden or system files for app data.
TEST(WindowsWalk, SkipsHiddenAndSystemEntriesByTheirAttributes) {
    ProfileFixture profile;
    profile.AddPackage("Shown.App_1");
    for (const auto& [name, marked, attribute] :
         {std::tuple{"HiddenFile.App_2", "Settings/settings.dat", FILE_ATTRIBUTE_HIDDEN},
          {"SystemFile.App_3", "Settings/settings.dat", FILE_ATTRIBUTE_SYSTEM},
          {"HiddenFolder.App_4", "Settings", FILE_ATTRIBUTE_HIDDEN},
          {"SystemPackage.App_5", "", FILE_ATTRIBUTE_SYSTEM}}) {
        const fs::path package = profile.packages() / name;
        WriteText(package / "Settings" / "settings.dat", "data");
        SetAttributes(*marked != '\0' ? package / marked : package, attribute);
    }
    EXPECT_EQ(modApps::FindPackages(profile.roots().PackagesRoot()),
              std::vector<std::string>{"Shown.App_1"});

    // The app-list file is looked up the same way: hidden, it is not there.
    fs::create_directories(profile.program() / "Data");
    ASSERT_TRUE(settings::WriteAppListFile(profile.roots().AppListFile(), {"Shown.App_1"}));
    SetAttributes(profile.roots().AppListFile(), FILE_ATTRIBUTE_HIDDEN);
    EXPECT_FALSE(settings::ReadAppListFile(profile.roots().AppListFile()));
}

// CopyFileEx and DeleteFile refuse what a backup meets: a read-only file in the way of a
// newer copy or of a delete, and paths longer than MAX_PATH.
TEST(WindowsTreeOps, CopyAndDeleteReadOnlyFilesAndPathsPastMaxPath) {
    TempDir tmp;
    const fs::path settings = tmp.path() / "Packages" / "App_x" / "Settings";
    std::string tail;
    while ((settings.string() + tail).size() < 300) {
        tail += "\\a-folder-name-of-forty-characters-long-" + std::to_string(tail.size());
    }
    platform::CreateFolderChain(settings.string() + tail);
    ASSERT_TRUE(platform::ReplaceFile(settings.string() + tail + "\\deep.txt", "deep"));
    WriteText(settings / "settings.dat", "v1");
    SetAttributes(settings / "settings.dat", FILE_ATTRIBUTE_READONLY);

    const Below from{(tmp.path() / "Packages").string(), {"App_x", "Settings"}};
    const Below into{(tmp.path() / "Backup").string(), {"App_x"}};
    const std::string copy = (tmp.path() / "Backup" / "App_x" / "Settings").string();
    ASSERT_TRUE(platform::MakeFolderChain(into));
    EXPECT_EQ(platform::CopyTree(from, {settings.string(), {}}), EINVAL); // into itself
    ASSERT_EQ(platform::CopyTree(from, into), 0);
    EXPECT_EQ(Read(copy + "\\settings.dat"), "v1");
    EXPECT_NE(GetFileAttributesW(W(copy + "\\settings.dat").c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
    EXPECT_EQ(Read(copy + tail + "\\deep.txt"), "deep");

    // Over the read-only older copy: the newer content wins, a file only the older copy
    // has is gone, and nothing of the swap is left beside it.
    SetAttributes(settings / "settings.dat", FILE_ATTRIBUTE_NORMAL);
    WriteText(settings / "settings.dat", "v2");
    ASSERT_TRUE(platform::ReplaceFile(copy + "\\old-only.txt", "old"));
    ASSERT_EQ(platform::CopyTree(from, into), 0);
    EXPECT_EQ(Read(copy + "\\settings.dat"), "v2");
    EXPECT_FALSE(platform::IsFile(copy + "\\old-only.txt"));
    EXPECT_EQ(Read(copy + tail + "\\deep.txt"), "deep");
    EXPECT_EQ(Names((tmp.path() / "Backup" / "App_x").string()),
              std::vector<std::string>{"Settings"});

    SetAttributes(copy + tail + "\\deep.txt", FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(platform::RemoveTree(into), 0);
    EXPECT_EQ(platform::RemoveTree({from.root, {"App_x"}}), 0);
    EXPECT_EQ(Names(tmp.path().string()), (std::vector<std::string>{"Backup", "Packages"}));
}

// A kill between the renames of a swap must never leave the app without its Settings nor
// lose a complete newer copy or a kept older one, and what it left (or a killed removal
// left) must not block the next copy nor stay. Letters: C current folder (old), N current
// folder (new), S staging (new), O set aside (old), M the marker that says S is complete,
// G a killed removal's leftover. CSM is undone: finishing it would drop an old copy that
// was to be kept; SM is a keep-mode swap killed once the old copy had moved to be kept.
TEST(WindowsTreeOps, WhatAKilledCopyLeftIsFinishedOrUndone) {
    const std::pair<const char*, const char*> cases[] = {
        {"CS", "old"}, {"CSM", "old"}, {"SOM", "new"}, {"NOM", "new"},
        {"O", "old"},  {"SM", "new"},  {"CSG", "old"}};
    for (const auto& [left, survives] : cases) {
        TempDir tmp;
        const fs::path dst = tmp.path() / "Backup";
        WriteText(tmp.path() / "Settings" / "settings.dat", "newest");
        fs::create_directories(dst);
        for (const char* at = left; *at != '\0'; ++at) {
            const char* folder = *at == 'S'   ? "Settings.dittoly-new"
                                 : *at == 'O' ? "Settings.dittoly-old"
                                 : *at == 'G' ? "Other.dittoly-gone"
                                              : "Settings";
            *at == 'M' ? WriteText(dst / "Settings.dittoly-ready", "")
                       : WriteText(dst / folder / "settings.dat",
                                   (*at == 'S' || *at == 'N') ? "new" : "old");
        }
        const Below from{tmp.path().string(), {"Settings"}};
        {
            // The copy itself fails on a file it cannot read.
            const HANDLE lock = CreateFileW(W(tmp.path() / "Settings" / "settings.dat").c_str(),
                                            GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
            EXPECT_NE(platform::CopyTree(from, {dst.string(), {}}), 0) << left;
            CloseHandle(lock);
        }
        EXPECT_EQ(ReadText(dst / "Settings" / "settings.dat"), survives) << left;
        EXPECT_EQ(Names(dst.string()), std::vector<std::string>{"Settings"}) << left;
        EXPECT_EQ(platform::CopyTree(from, {dst.string(), {}}), 0) << left;
        EXPECT_EQ(ReadText(dst / "Settings" / "settings.dat"), "newest") << left;
    }
    // A copy still running elsewhere (its lock held) left nothing: its staging folder stays.
    TempDir tmp;
    const fs::path dst = tmp.path() / "Backup";
    WriteText(tmp.path() / "Settings" / "settings.dat", "newest");
    WriteText(dst / "Settings.dittoly-new" / "settings.dat", "live");
    const HANDLE live = CreateFileW(W(dst / "Settings.dittoly-lock").c_str(), GENERIC_WRITE, 0,
                                    nullptr, CREATE_NEW, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    EXPECT_NE(platform::CopyTree({tmp.path().string(), {"Settings"}}, {dst.string(), {}}), 0);
    EXPECT_EQ(ReadText(dst / "Settings.dittoly-new" / "settings.dat"), "live");
    CloseHandle(live);
}

// Options that keep the old folder at `keep` and report to `progress`, the rest as by default.
platform::CopyOptions Keeping(std::optional<Below> keep,
                              platform::TreeProgress* progress = nullptr) {
    platform::CopyOptions options;
    options.keep = std::move(keep);
    options.progress = progress;
    return options;
}

// Where a keep-mode copy puts the old folder on another volume: a folder of its own on the
// second drive the test set-up maps (under Wine every drive has its own volume serial).
struct OtherVolume {
    const char* drive = std::getenv("DITTOLY_SECOND_DRIVE");
    std::string name =
        "dittoly-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(GetTickCount64());
    Below keep{drive != nullptr ? std::string(drive) + "\\" : "", {name, "stamp"}};
    ~OtherVolume() {
        if (drive != nullptr && platform::IsFolder(keep.root + name)) {
            platform::RemoveTree({keep.root, {name}});
        }
    }
};

// A keep-mode copy that removed the old folder, put it anywhere but keep/<name>, made a
// second copy of it on its own volume (the identity shows a rename) or made keep folders
// with nothing to keep would lose or litter the history; on another volume the old one
// must arrive whole, and a keep place that is taken must change nothing.
TEST(WindowsTreeOps, KeepModeMovesTheOldFolderOnItsVolumeAndCopiesItExactlyElsewhere) {
    for (const bool elsewhere : {false, true}) {
        TempDir tmp;
        const OtherVolume other;
        if (elsewhere && other.drive == nullptr) {
            GTEST_SKIP() << "needs the set-up step that maps a second drive";
        }
        const Below keep = elsewhere ? other.keep : Below{tmp.path().string(), {"History", "1"}};
        const fs::path kept = fs::path(keep.root) / keep.names[0] / keep.names[1] / "Settings";
        const fs::path dst = tmp.path() / "Backup";
        const Below from{tmp.path().string(), {"Settings"}};
        const Below into{dst.string(), {}};
        const platform::CopyOptions options = Keeping(keep);
        WriteText(tmp.path() / "Settings" / "sub" / "deep.dat", "deep");
        WriteText(tmp.path() / "Settings" / "settings.dat", "old");
        fs::create_directories(dst);
        ASSERT_EQ(platform::CopyTree(from, into, options), 0);
        EXPECT_FALSE(fs::exists(kept.parent_path().parent_path())) << elsewhere;

        const std::string old = TreeFingerprint(dst / "Settings");
        const auto before = platform::InspectFolder({into.root, {"Settings"}});
        ASSERT_TRUE(before);
        EXPECT_NEAR(before->modified, std::time(nullptr), 120);
        WriteText(tmp.path() / "Settings" / "settings.dat", "new");
        ASSERT_EQ(platform::CopyTree(from, into, options), 0) << elsewhere;
        EXPECT_EQ(ReadText(dst / "Settings" / "settings.dat"), "new");
        EXPECT_EQ(TreeFingerprint(kept), old);
        const Below keptAt{keep.root, {keep.names[0], keep.names[1], "Settings"}};
        EXPECT_EQ(platform::InspectFolder(keptAt)->identity == before->identity, !elsewhere);
        EXPECT_EQ(Names(dst.string()), std::vector<std::string>{"Settings"});

        EXPECT_EQ(platform::CopyTree(from, into, options), EEXIST);
        EXPECT_EQ(ReadText(dst / "Settings" / "settings.dat"), "new");
        EXPECT_EQ(TreeFingerprint(kept), old);
        EXPECT_EQ(Names(dst.string()), std::vector<std::string>{"Settings"});
    }
}

// Stops at the file `at` and keeps the last counts it was given.
struct StopAt final : platform::TreeProgress {
    std::uint64_t at;
    platform::TreeSize seen;
    explicit StopAt(std::uint64_t file) : at(file) {}
    bool Advance(std::uint64_t files, std::uint64_t bytes) override {
        seen = {files, bytes};
        return files < at;
    }
};

// A copy that went on after a stop, or left its staging folder, a kept copy or keep
// folders behind, would change what the user chose to leave alone; counts that differ
// from the measure (hidden files left out of one) would misreport the progress. The stop
// comes in the copy itself, and in the copy of the old folder to another volume.
TEST(WindowsTreeOps, AStoppedCopyLeavesEverythingAsItWasAndCountsAsMeasured) {
    TempDir tmp;
    const OtherVolume other;
    const fs::path dst = tmp.path() / "Backup";
    const Below from{tmp.path().string(), {"Settings"}};
    const Below into{dst.string(), {}};
    WriteText(tmp.path() / "Settings" / "a.dat", "aaaa");
    WriteText(tmp.path() / "Settings" / "sub" / "b.dat", "bb");
    WriteText(tmp.path() / "Settings" / "hidden.dat", "h");
    SetAttributes(tmp.path() / "Settings" / "hidden.dat", FILE_ATTRIBUTE_HIDDEN);
    WriteText(dst / "Settings" / "old.dat", "old");
    const std::string old = TreeFingerprint(dst / "Settings");
    platform::TreeSize size;
    ASSERT_EQ(platform::MeasureTree(from, size), 0);
    EXPECT_EQ(std::pair(size.files, size.bytes), std::pair(std::uint64_t{3}, std::uint64_t{7}));

    const Below here{tmp.path().string(), {"History", "1"}};
    std::vector<std::pair<Below, std::uint64_t>> stops{{here, 1}};
    if (other.drive != nullptr) {
        stops.emplace_back(other.keep, size.files + 1); // in the copy of the old folder
    }
    for (const auto& [keep, at] : stops) {
        StopAt progress(at);
        EXPECT_EQ(platform::CopyTree(from, into, Keeping(keep, &progress)), ECANCELED) << at;
        EXPECT_EQ(progress.seen.files, at);
        EXPECT_EQ(TreeFingerprint(dst / "Settings"), old);
        EXPECT_EQ(Names(dst.string()), std::vector<std::string>{"Settings"});
        EXPECT_FALSE(fs::exists(fs::path(keep.root) / keep.names[0])) << at;
    }
    StopAt all(UINT64_MAX);
    ASSERT_EQ(platform::CopyTree(from, into, Keeping(std::nullopt, &all)), 0);
    EXPECT_EQ(std::pair(all.seen.files, all.seen.bytes), std::pair(size.files, size.bytes));
    StopAt removed(1);
    EXPECT_EQ(platform::RemoveTree({into.root, {"Settings"}}, &removed), 0);
    EXPECT_EQ(removed.seen.files, size.files); // a removal goes on to its end
}

// A removal seen half done under its own name looks like a damaged backup; one whose
// leftovers stay (or block the next removal of the same name) fills the disk.
TEST(WindowsTreeOps, DiscardedFoldersAreWholeOrGoneAndLeftoversGoNextTime) {
    TempDir tmp;
    const std::string root = tmp.path().string();
    WriteText(tmp.path() / "Killed.dittoly-gone" / "f", "left");
    for (const char* name : {"Busy", "Twice", "Last", "Twice.dittoly-gone", "Kept"}) {
        WriteText(tmp.path() / name / "sub" / "f", name);
        WriteText(tmp.path() / name / "g", name);
    }
    const std::string busy = TreeFingerprint(tmp.path() / "Busy");
    {
        const HANDLE lock1 = CreateFileW(W(tmp.path() / "Busy" / "g").c_str(), GENERIC_READ, 0,
                                         nullptr, OPEN_EXISTING, 0, nullptr);
        const HANDLE lock2 = CreateFileW(W(tmp.path() / "Twice.dittoly-gone" / "g").c_str(),
                                         GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        platform::FailedAt where; // named as the user knew it, never by its hidden name
        EXPECT_NE(platform::DiscardTree({root, {"Busy"}}, false, &where), 0);
        EXPECT_EQ(where.names.front(), "Busy");
        // Windows refuses to rename a folder with an open file inside; Wine renames it.
        const std::string state = TreeFingerprint(tmp.path() / "Busy");
        EXPECT_TRUE(state == busy || state == "<missing>") << state;
        EXPECT_FALSE(fs::exists(tmp.path() / "Killed.dittoly-gone"));
        // Its own leftover name still taken, the next one goes under a numbered name.
        EXPECT_EQ(platform::DiscardTree({root, {"Twice"}}), 0);
        EXPECT_FALSE(fs::exists(tmp.path() / "Twice"));
        CloseHandle(lock1);
        CloseHandle(lock2);
    }
    EXPECT_EQ(platform::DiscardTree({root, {"Last"}}), 0);
    if (fs::exists(tmp.path() / "Busy")) {
        EXPECT_EQ(platform::DiscardTree({root, {"Busy"}}), 0);
    }
    EXPECT_EQ(Names(root), std::vector<std::string>{"Kept"});
    EXPECT_EQ(platform::DiscardTree({root, {"Missing"}}), ENOENT);
}

// The reason a user reads for a failure must be the system's own words, on one line,
// not the C run-time's "Unknown error"; a probe that stayed, or called a missing folder
// writable, would make the early check lie.
TEST(WindowsPlatform, StatesReasonsAndTheWritableCheck) {
    TempDir tmp;
    const std::string missing = (tmp.path() / "missing").string();
    EXPECT_EQ(platform::CheckWritable(tmp.path().string()), 0);
    EXPECT_EQ(platform::CheckWritable(missing), ENOENT);
    const std::string reason = platform::ErrorText(platform::RemoveTree({missing, {"x"}}));
    EXPECT_NE(reason, std::strerror(ENOENT));
    EXPECT_TRUE(!reason.empty() && reason.find_last_of("\r\n.") != reason.size() - 1) << reason;
    EXPECT_EQ(platform::ErrorText(ELOOP).find("Unknown"), std::string::npos);
    WriteText(tmp.path() / "file", "x");
    EXPECT_EQ(Names(tmp.path().string()), std::vector<std::string>{"file"});
    EXPECT_EQ(platform::StateOf(missing), platform::PathState::Missing);
    EXPECT_EQ(platform::StateOf((tmp.path() / "file").string()), platform::PathState::Other);
    EXPECT_EQ(platform::StateOf(tmp.path().string()), platform::PathState::Folder);
    if (const char* drive = std::getenv("DITTOLY_SECOND_DRIVE")) {
        EXPECT_EQ(platform::StateOf(drive + std::string("\\folder-link")),
                  platform::PathState::Link);
    }
}

// A junction or folder link inside a package must never be entered: the walk would list
// an app whose only data lies elsewhere, a copy would pull that in, a delete wipe it.
TEST(WindowsTreeOps, FolderLinksAreNeverEnteredCopiedOrDeletedThrough) {
    const char* links = std::getenv("DITTOLY_LINKS");
    if (links == nullptr) {
        GTEST_SKIP() << "needs the set-up step that makes folder links with ln -s: Wine "
                        "cannot create a junction (FSCTL_SET_REPARSE_POINT is not supported)";
    }
    std::string root = std::string("Z:") + links;
    std::replace(root.begin(), root.end(), '/', '\\');
    const std::string packages = root + "\\Packages";
    const std::string keep = root + "\\outside\\keep.txt";
    ASSERT_NE(GetFileAttributesW(W(packages + "\\OnlyLink_x\\LocalState").c_str()) &
                  FILE_ATTRIBUTE_REPARSE_POINT,
              0u);
    EXPECT_EQ(modApps::FindPackages(packages), std::vector<std::string>{"Linked.App_l1nk"});

    TempDir tmp;
    platform::FailedAt where; // the link left out is what the reason names
    EXPECT_EQ(platform::CopyTree({packages, {"Linked.App_l1nk", "Settings"}},
                                 {tmp.path().string(), {}}, {}, &where),
              ELOOP);
    EXPECT_EQ(where.names, (std::vector<std::string>{"Linked.App_l1nk", "Settings", "roaming"}));
    EXPECT_EQ(Names((tmp.path() / "Settings").string()), std::vector<std::string>{"settings.dat"});
    // A link on the way to a path, or at its end, is refused outright.
    EXPECT_EQ(platform::RemoveTree({packages, {"OnlyLink_x", "LocalState", "keep.txt"}}), ELOOP);
    EXPECT_EQ(platform::RemoveTree({packages, {"OnlyLink_x", "LocalState"}}), ELOOP);
    EXPECT_EQ(
        platform::CopyTree({packages, {"OnlyLink_x", "LocalState"}}, {tmp.path().string(), {}}),
        ELOOP);

    const int removed = platform::RemoveTree({packages, {"Linked.App_l1nk"}});
    EXPECT_EQ(Names(root + "\\outside"), std::vector<std::string>{"keep.txt"});
    EXPECT_EQ(Read(keep), "keep");
    EXPECT_FALSE(platform::IsFile(packages + "\\Linked.App_l1nk\\Settings\\settings.dat"));
    if (GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr) {
        // Wine cannot remove a folder link (RemoveDirectoryW answers "not empty"): the
        // delete stops at the link and must say that it failed.
        EXPECT_NE(removed, 0);
        GTEST_SKIP() << "the link's own removal shows on Windows only";
    }
    EXPECT_EQ(removed, 0);
    EXPECT_FALSE(platform::IsFolder(packages + "\\Linked.App_l1nk"));
}

// The folder links' set-up (see FolderLinksAreNeverEnteredCopiedOrDeletedThrough) as a
// Windows path; empty without it.
std::string LinkFixture() {
    const char* links = std::getenv("DITTOLY_LINKS");
    std::string root = links != nullptr ? std::string("Z:") + links : "";
    std::replace(root.begin(), root.end(), '/', '\\');
    return root;
}

// Catches: a lock a second taker (in this process or another) could also take, a stale
// note left behind a shorter one, a lock that outlived its killed holder, and one that
// followed a link. The other holder is this program started again on this test, with
// DITTOLY_TEST_DIR naming its folder: it only takes the lock, says so, and waits.
TEST(WindowsLocks, OneHolderAtATimeAndNoneOutlivesItsHolder) {
    TempDir tmp;
    const Below at{tmp.path().string(), {"Dittoly.lock"}};
    platform::FileLock one;
    platform::FileLock two;
    std::string holder;
    if (std::getenv("DITTOLY_TEST_DIR") != nullptr) {
        if (platform::LockFile(at, platform::ThisProcess(), 5000, one, holder) == 0) {
            WriteText(tmp.path() / "held", "");
        }
        Sleep(60000);
        std::_Exit(3);
    }
    ASSERT_EQ(platform::LockFile(at, "a longer first note", 0, one, holder), 0);
    EXPECT_EQ(platform::LockFile(at, "second", 60, two, holder), EWOULDBLOCK);
    EXPECT_EQ(holder, "a longer first note");
    EXPECT_FALSE(two.Held());
    one.Release();
    ASSERT_EQ(platform::LockFile(at, "second", 0, two, holder), 0);
    EXPECT_EQ(platform::LockFile(at, "third", 0, one, holder), EWOULDBLOCK);
    EXPECT_EQ(holder, "second");
    two.Release();

    const std::string filter = "--gtest_filter=WindowsLocks.*";
    std::wstring line = GetCommandLineW() + (L" " + std::wstring(filter.begin(), filter.end()));
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES; // none: its test output would clutter ours
    PROCESS_INFORMATION child{};
    SetEnvironmentVariableW(L"DITTOLY_TEST_DIR", tmp.path().c_str());
    ASSERT_TRUE(CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                               &startup, &child));
    SetEnvironmentVariableW(L"DITTOLY_TEST_DIR", nullptr);
    for (int i = 0; i < 1000 && !fs::exists(tmp.path() / "held") &&
                    WaitForSingleObject(child.hProcess, 0) == WAIT_TIMEOUT;
         ++i) {
        Sleep(30);
    }
    const std::string self = platform::ThisProcess();
    EXPECT_EQ(platform::LockFile(at, "parent", 0, one, holder), EWOULDBLOCK);
    EXPECT_EQ(holder,
              "process " + std::to_string(child.dwProcessId) + self.substr(self.find(" on ")));
    TerminateProcess(child.hProcess, 99);
    WaitForSingleObject(child.hProcess, INFINITE);
    CloseHandle(child.hProcess);
    CloseHandle(child.hThread);
    EXPECT_EQ(platform::LockFile(at, "parent", 0, one, holder), 0);

    // A link in the lock's place, or on the way to it, is refused, and nothing is made
    // where it leads.
    if (const std::string root = LinkFixture(); !root.empty()) {
        const Below packages{root + "\\Packages", {"OnlyLink_x", "LocalState"}};
        EXPECT_EQ(platform::LockFile(packages, "x", 0, two, holder), ELOOP);
        EXPECT_EQ(platform::LockFile({packages.root, {"OnlyLink_x", "LocalState", "x.lock"}}, "x",
                                     0, two, holder),
                  ELOOP);
        EXPECT_EQ(Names(root + "\\outside"), std::vector<std::string>{"keep.txt"});
    }
}

// Catches: a leftover list that misses what a dead copy or removal left, that names a
// live copy's staging folder (its lock held), or that changes anything while it looks.
TEST(WindowsTreeOps, FindLeftoversNamesWhatDeadCopiesLeftAndChangesNothing) {
    TempDir tmp;
    for (const char* name :
         {"Settings.dittoly-new", "Old.dittoly-gone", "Live.dittoly-new", "Kept"}) {
        WriteText(tmp.path() / name / "settings.dat", name);
    }
    const HANDLE live = CreateFileW(W(tmp.path() / "Live.dittoly-lock").c_str(), GENERIC_WRITE, 0,
                                    nullptr, CREATE_NEW, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    const std::string before = TreeFingerprint(tmp.path());
    auto found = platform::FindLeftovers({tmp.path().string(), {}});
    std::sort(found.begin(), found.end());
    EXPECT_EQ(found, (std::vector<std::string>{"Old.dittoly-gone", "Settings.dittoly-new"}));
    EXPECT_EQ(TreeFingerprint(tmp.path()), before);
    CloseHandle(live);
}

// Runs `change` on what stands at `path` and puts its last-write time back, so only the
// change itself can show.
template <typename Change> void KeepingTime(const fs::path& path, Change change) {
    const HANDLE at = CreateFileW(W(path).c_str(), FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    FILETIME written{};
    ASSERT_TRUE(GetFileTime(at, nullptr, nullptr, &written));
    change();
    ASSERT_TRUE(SetFileTime(at, nullptr, nullptr, &written));
    CloseHandle(at);
}

// Catches: a comparison that calls a fresh copy different, or misses a changed byte at
// equal size (past the first block read), a moved last-write time, a read-only flag, an
// extra file (its folder's time kept) or a link inside, which no copy carries.
TEST(WindowsTreeOps, CompareTreesSeesWhatACopyWouldNotHaveMade) {
    TempDir tmp;
    const fs::path copy = tmp.path() / "Backup" / "Settings";
    WriteText(tmp.path() / "Settings" / "settings.dat", "abc");
    WriteText(tmp.path() / "Settings" / "sub" / "big.dat", std::string(600000, 'x'));
    const Below from{tmp.path().string(), {"Settings"}};
    const Below into{(tmp.path() / "Backup").string(), {}};
    const auto same = [](const Below& a, const Below& b) {
        bool equal = false;
        EXPECT_EQ(platform::CompareTrees(a, b, equal), 0);
        return equal;
    };
    const std::function<void()> changes[] = {
        [&] {
            KeepingTime(copy / "sub" / "big.dat", [&] {
                std::fstream file(copy / "sub" / "big.dat", std::ios::in | std::ios::out);
                file.seekp(599999) << 'y';
            });
        },
        [&] {
            const HANDLE file = CreateFileW(W(copy / "settings.dat").c_str(), FILE_WRITE_ATTRIBUTES,
                                            0, nullptr, OPEN_EXISTING, 0, nullptr);
            FILETIME old{0x12345678, 0x01d00000};
            SetFileTime(file, nullptr, nullptr, &old);
            CloseHandle(file);
        },
        [&] { SetAttributes(copy / "settings.dat", FILE_ATTRIBUTE_READONLY); },
        [&] { KeepingTime(copy / "sub", [&] { WriteText(copy / "sub" / "extra.dat", ""); }); },
    };
    fs::create_directories(tmp.path() / "Backup");
    for (const auto& change : changes) {
        ASSERT_EQ(platform::CopyTree(from, into), 0);
        EXPECT_TRUE(same(from, {into.root, {"Settings"}}));
        change();
        EXPECT_FALSE(same(from, {into.root, {"Settings"}}));
    }
    bool equal = true;
    EXPECT_EQ(platform::CompareTrees(from, {into.root, {"Missing"}}, equal), ENOENT);
    EXPECT_FALSE(equal);

    if (const std::string root = LinkFixture(); !root.empty()) {
        const Below linked{root + "\\Packages", {"OnlyLink_x"}};
        EXPECT_FALSE(same(linked, linked)); // a link is never the same, even as itself
    }
}

// The settings, app list and log must never be left half-written nor have a name turned
// into another app's by the code page: the file is replaced by a rename (a second name of
// the old file keeps the old content whole), a killed write's temporary file goes, and a
// name the code page cannot hold survives.
TEST(WindowsFiles, ReplacedThroughATemporaryFileAndNamesSurviveTheCodePage) {
    TempDir tmp;
    const std::string file = (tmp.path() / "uapps.dat").string();
    WriteText(file, "old");
    ASSERT_TRUE(CreateHardLinkW(W(tmp.path() / "second").c_str(), W(file).c_str(), nullptr));
    WriteText(tmp.path() / "uapps.dat.tmp-4242-abc123", "stale");
    const std::vector<std::string> names = {"Vendor.Caf\xC3\xA9_1", "\xCE\x95\xCE\xBB.App_2",
                                            "Lone\xED\xA0\x80.App_3"};
    ASSERT_TRUE(settings::WriteAppListFile(file, names));
    EXPECT_EQ(ReadText(tmp.path() / "second"), "old");
    fs::remove(tmp.path() / "second");
    EXPECT_EQ(settings::ReadAppListFile(file), names);
    EXPECT_EQ(Names(tmp.path().string()), std::vector<std::string>{"uapps.dat"});
    if (GetACP() == 1252) {
        EXPECT_EQ(platform::ToFileText("Caf\xC3\xA9\r\n"), "Caf\xE9\r\n");
        EXPECT_EQ(ReadText(file).substr(0, 3), "\xEF\xBB\xBF");
    }
    EXPECT_FALSE(platform::ReplaceFile((tmp.path() / "missing" / "x.ini").string(), "x"));
    EXPECT_FALSE(platform::IsFolder((tmp.path() / "missing").string()));
}

// The roots every path hangs from: the profile from the shell, the program folder from
// the module, neither with a trailing separator, and "\" in every shared path.
TEST(WindowsFolders, ProfileProgramAndTheSharedPaths) {
    const auto roots = modGlobal::Roots::FromSystem();
    const char* profile = std::getenv("USERPROFILE");
    ASSERT_NE(profile, nullptr);
    EXPECT_EQ(roots.profileFolder, profile);
    EXPECT_TRUE(platform::IsFile(roots.programFolder + "\\platform_windows_test.exe"));
    EXPECT_EQ(roots.PackagesRoot(), roots.profileFolder + "\\AppData\\Local\\Packages");
    EXPECT_EQ(roots.BackupDir(), roots.programFolder + "\\Backup\\");
    EXPECT_TRUE(platform::IsFolder(roots.BackupDir() + "..\\")); // tidied up, then found
    EXPECT_TRUE(platform::StartStoreCacheReset());
}

} // namespace
