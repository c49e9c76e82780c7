// The package search on real folders: which entries below PackagesRoot count as packages.
#include "catalogue/modApps.h"

#include "Fixtures.h"
#include "platform/Platform.h"
#include "start/modGlobal.h"

#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

using namespace testsupport;
using Names = std::vector<std::string>;

// The search stops inside a package at its first file; the full walk (every file, its
// package, sorted insertion, de-duplication) is slow but plain, and both must agree.
void ExpectPackages(const fs::path& root, const Names& expected) {
    EXPECT_EQ(modApps::FindPackages(root.string()), expected);
    Names files;
    Names names;
    modApps::CollectFiles(files, root.string(), "", true);
    for (const auto& file : files) {
        modApps::SortedInsert(names, modApps::PackageOfPath(root.string(), file));
    }
    modGlobal::RemoveDuplicateEntries(names);
    EXPECT_EQ(names, expected);
}

// Root opens every folder whatever its mode. Dropping the two override capabilities
// for a while makes it meet permissions like any other owner would.
class WithoutReadOverride {
public:
    WithoutReadOverride() {
        if (::geteuid() != 0 || ::syscall(SYS_capget, &header_, saved_) != 0) {
            return;
        }
        __user_cap_data_struct reduced[2] = {saved_[0], saved_[1]};
        reduced[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
        dropped_ = ::syscall(SYS_capset, &header_, reduced) == 0;
    }
    ~WithoutReadOverride() {
        if (dropped_) {
            ::syscall(SYS_capset, &header_, saved_);
        }
    }
    WithoutReadOverride(const WithoutReadOverride&) = delete;
    WithoutReadOverride& operator=(const WithoutReadOverride&) = delete;

private:
    __user_cap_header_struct header_{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct saved_[2]{};
    bool dropped_ = false;
};

TEST(PackageNames, DisplayNameIsTheTextBeforeTheLastUnderscore) {
    EXPECT_EQ(modApps::PackageDisplayName("Example.Notes.App_0a1b2c3d4e5f6"), "Example Notes App");
    EXPECT_EQ(modApps::PackageDisplayName("My_Tool.App_xyz"), "My_Tool App");
    EXPECT_EQ(modApps::PackageDisplayName("_abc"), "");
    EXPECT_EQ(modApps::PackageDisplayName("NoUnderscore.App"), "NoUnderscore App");
}

// "?" stands for one character, letters match ignoring case, and sub-folders only on request.
TEST(CollectFiles, PatternsMatchFileNamesIgnoringCase) {
    TempDir tmp;
    for (const char* file : {"1.dat", "45.dat", "a/2.dat"}) {
        WriteText(tmp.path() / file, "x");
    }
    Names files;
    modApps::CollectFiles(files, tmp.path().string(), "?.DAT", false);
    EXPECT_EQ(files, Names{tmp.path().string() + "/1.dat"});
}

// The profile's own path holds "Packages" twice: names are the element below the whole root.
TEST(FindPackages, HiddenEmptyAndDeepPackagesMatchTheFullWalk) {
    TempDir tmp;
    const fs::path root = tmp.path() / "Packages" / "profile" / "AppData" / "Local" / "Packages";
    WriteText(root / "Example.Notes.App_0a1b" / "Packages" / "LocalState" / "f", "x");
    WriteText(root / "HiddenFiles.Only_1" / "LocalState" / ".state", "x");
    WriteText(root / "HiddenFolders.Only_2" / "LocalState" / ".tmp" / "deep" / "f", "x");
    fs::path deep = root / "Deep.App_3";
    for (int level = 0; level < 64; ++level) {
        fs::create_directories(deep / "empty");
        WriteText(deep / ".h" / "f", "x");
        deep /= "d";
    }
    WriteText(deep / "first.txt", "found at last");
    fs::create_directories(root / "Empty.App_4" / "LocalState" / "Nested");
    WriteText(root / "CacheOnly.App_5" / "Settings" / ".settings.dat", "x");
    WriteText(root / "CacheOnly.App_5" / "LocalCache" / "Local" / "x" / "f", "x");
    WriteText(root / "loose.txt", "a plain file is listed under its own name");
    WriteText(root / ".DS_Store", "hidden");
    const Names expected{"CacheOnly.App_5", "Deep.App_3", "Example.Notes.App_0a1b", "loose.txt"};
    ExpectPackages(root, expected);
    EXPECT_EQ(modApps::FindPackages(root.string() + "/"), expected);
    EXPECT_TRUE(modApps::FindPackages((root / "missing").string()).empty());
}

TEST(FindPackages, LinksAndSystemEntriesAreNotFiles) {
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
    ExpectPackages(root, {"FileLink.App_4", "linked-file"});
}

TEST(FindPackages, NamesEqualButForCaseGiveTheOneTheWalkMeetsFirst) {
    ProfileFixture fx;
    const fs::path root = fx.packages();
    // A plain file in the root is met before any folder, whatever the listing order.
    WriteText(root / "Other.App_2" / "f", "x");
    WriteText(root / "other.app_2", "x");
    // Only the case variant that holds a file can stand for the name.
    fx.AddEmptyPackage("Case.App_3");
    WriteText(root / "CASE.APP_3" / "f", "x");
    ExpectPackages(root, {"CASE.APP_3", "other.app_2"});
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
    WithoutReadOverride guard;
    if (platform::ListFolder((root / "B.Locked_2").string(),
                             [](std::string_view, platform::EntryKind) { return true; })) {
        GTEST_SKIP() << "this user reads folders whatever their permissions";
    }
    ExpectPackages(root, {"A.App_1", "C.App_3", "E.App_5"});
}

} // namespace
