// The package search on real folders: which entries below PackagesRoot count as packages.
#include "catalogue/modApps.h"

#include "Fixtures.h"
#include "platform/Platform.h"

#include <gtest/gtest.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace testsupport;
using Names = std::vector<std::string>;

// Root opens every folder whatever its mode. As the file-system user nobody for a while,
// it loses the override capabilities and meets permissions like any other owner would.
struct AsNobody {
    AsNobody() { ::setfsuid(65534); }
    ~AsNobody() { ::setfsuid(::geteuid()); }
};

// The profile's own path holds "Packages" twice: names are the element below the whole root.
TEST(FindPackages, HiddenEmptyAndDeepPackages) {
    TempDir tmp;
    const fs::path root = tmp.path() / "Packages" / "profile" / "AppData" / "Local" / "Packages";
    for (const char* file :
         {"Example.Notes.App_0a1b/Packages/LocalState/f", "HiddenFiles.Only_1/LocalState/.state",
          "HiddenFolders.Only_2/LocalState/.tmp/deep/f", "CacheOnly.App_5/Settings/.settings.dat",
          "CacheOnly.App_5/LocalCache/Local/x/f", "loose.txt", ".DS_Store"}) {
        WriteText(root / file, "x");
    }
    fs::path deep = root / "Deep.App_3";
    for (int level = 0; level < 64; ++level) {
        fs::create_directories(deep / "empty");
        WriteText(deep / ".h" / "f", "x");
        deep /= "d";
    }
    WriteText(deep / "first.txt", "found at last");
    fs::create_directories(root / "Empty.App_4" / "LocalState" / "Nested");
    const Names expected{"CacheOnly.App_5", "Deep.App_3", "Example.Notes.App_0a1b", "loose.txt"};
    EXPECT_EQ(modApps::FindPackages(root.string()), expected);
    EXPECT_EQ(modApps::FindPackages(root.string() + "/"), expected);
    EXPECT_TRUE(modApps::FindPackages((root / "missing").string()).empty());
}

TEST(FindPackages, LinksAndSystemEntriesAreNotFilesAndCaseVariantsCountOnce) {
    ProfileFixture fx;
    const fs::path root = fx.packages();
    const fs::path outside = fx.base().path() / "outside";
    WriteText(outside / "keep.txt", "outside");
    fs::create_directories(root / "Loop.App_1" / "LocalState");
    fs::create_directory_symlink(root / "Loop.App_1", root / "Loop.App_1" / "LocalState" / "up");
    fs::create_directory_symlink(root, root / "Loop.App_1" / "root");
    fs::create_directories(root / "Behind.Link_3");
    fs::create_directory_symlink(outside, root / "Behind.Link_3" / "outside");
    fs::create_directories(root / "FileLink.App_4" / "Settings");
    fs::create_symlink(outside / "keep.txt", root / "FileLink.App_4" / "Settings" / "s.dat");
    fs::create_directories(root / "Dangling.App_5");
    fs::create_symlink(outside / "gone", root / "Dangling.App_5" / "gone");
    fs::create_directories(root / "Fifo.App_6" / "LocalState");
    ASSERT_EQ(::mkfifo((root / "Fifo.App_6" / "LocalState" / "pipe").c_str(), 0600), 0);
    ASSERT_EQ(::mkfifo((root / "pipe").c_str(), 0600), 0);
    fs::create_directory_symlink(outside, root / "Linked.Root_7");
    fs::create_symlink(outside / "keep.txt", root / "linked-file");
    // Names equal but for case give the one a full walk meets first: a plain file in the
    // root before any folder, and only a case variant that holds a file.
    WriteText(root / "Other.App_2" / "f", "x");
    WriteText(root / "other.app_2", "x");
    fs::create_directories(root / "Case.App_3");
    WriteText(root / "CASE.APP_3" / "f", "x");
    EXPECT_EQ(modApps::FindPackages(root.string()),
              (Names{"CASE.APP_3", "FileLink.App_4", "linked-file", "other.app_2"}));
}

TEST(FindPackages, UnreadableFoldersAreSkippedAndTheWalkGoesOn) {
    ProfileFixture fx;
    const fs::path root = fx.packages();
    for (const char* file : {"A.App_1/f", "B.Locked_2/f", "C.App_3/Locked/f", "C.App_3/Open/f",
                             "D.App_4/Locked/f", "E.App_5/f"}) {
        WriteText(root / file, "x");
    }
    for (const char* locked : {"B.Locked_2", "C.App_3/Locked", "D.App_4/Locked"}) {
        fs::permissions(root / locked, fs::perms::none);
    }
    const AsNobody guard;
    if (platform::ListFolder((root / "B.Locked_2").string(),
                             [](std::string_view, platform::EntryKind) { return true; })) {
        GTEST_SKIP() << "this user reads folders whatever their permissions";
    }
    EXPECT_EQ(modApps::FindPackages(root.string()), (Names{"A.App_1", "C.App_3", "E.App_5"}));
}

} // namespace
