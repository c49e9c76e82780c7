// The Windows platform layer through the real Win32 calls (run under Wine here). What
// Wine cannot show is skipped with its reason, never faked.
#include "Fixtures.h"
#include "catalogue/modApps.h"
#include "platform/Platform.h"
#include "settings/AppListFile.h"

#include <algorithm>
#include <cerrno>
#include <gtest/gtest.h>
#include <tuple>
#include <windows.h>
// The system header names its own ReplaceFile; ours is platform::ReplaceFile.
#undef ReplaceFile

namespace {

using namespace testsupport;
using platform::Below;

std::wstring W(const fs::path& p) {
    return L"\\\\?\\" + fs::path(p).make_preferred().wstring();
}

void SetAttributes(const fs::path& p, DWORD attributes) {
    ASSERT_TRUE(SetFileAttributesW(W(p).c_str(), attributes)) << p;
}

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
// lose a complete newer copy, and what it left must not block the next copy. Letters: C
// current folder (old), N current folder (new), S staging (new), O set aside (old), M the
// marker that says S is complete.
TEST(WindowsTreeOps, WhatAKilledCopyLeftIsFinishedOrUndone) {
    for (const auto& [left, survives] :
         {std::pair{"CS", "old"}, {"CSM", "new"}, {"SOM", "new"}, {"NOM", "new"}, {"O", "old"}}) {
        TempDir tmp;
        const fs::path dst = tmp.path() / "Backup";
        WriteText(tmp.path() / "Settings" / "settings.dat", "newest");
        fs::create_directories(dst);
        for (const char* at = left; *at != '\0'; ++at) {
            const char* folder = *at == 'S'   ? "Settings.dittoly-new"
                                 : *at == 'O' ? "Settings.dittoly-old"
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
    EXPECT_EQ(
        platform::CopyTree({packages, {"Linked.App_l1nk", "Settings"}}, {tmp.path().string(), {}}),
        ELOOP);
    EXPECT_EQ(Names((tmp.path() / "Settings").string()), std::vector<std::string>{"settings.dat"});
    // A link on the way to a path, or at its end, is refused outright.
    EXPECT_EQ(platform::RemoveTree({packages, {"OnlyLink_x", "LocalState", "keep.txt"}}), ELOOP);
    EXPECT_EQ(platform::RemoveTree({packages, {"OnlyLink_x", "LocalState"}}), ELOOP);
    EXPECT_EQ(
        platform::CopyTree({packages, {"OnlyLink_x", "LocalState"}}, {tmp.path().string(), {}}),
        ELOOP);

    const int removed = platform::RemoveTree({packages, {"Linked.App_l1nk"}});
    EXPECT_EQ(Read(keep), "keep");
    EXPECT_FALSE(platform::IsFile(packages + "\\Linked.App_l1nk\\Settings\\settings.dat"));
    if (GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr) {
        GTEST_SKIP() << "Wine cannot remove a folder link (RemoveDirectoryW answers \"not "
                        "empty\"): the delete stopped at the link, and what it leads to stayed";
    }
    EXPECT_EQ(removed, 0);
    EXPECT_FALSE(platform::IsFolder(packages + "\\Linked.App_l1nk"));
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
