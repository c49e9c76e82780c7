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

// The slow answer FindPackages must always agree with: every file, its package, sorted
// insertion, de-duplication.
Names FullWalk(const std::string& root) {
    std::vector<std::string> files;
    modApps::CollectFiles(files, root, "", true);
    Names names;
    for (const auto& file : files) {
        modApps::SortedInsert(names, modApps::PackageOfPath(root, file));
    }
    modGlobal::RemoveDuplicateEntries(names);
    return names;
}

void ExpectPackages(const fs::path& root, const Names& expected) {
    EXPECT_EQ(modApps::FindPackages(root.string()), expected);
    EXPECT_EQ(FullWalk(root.string()), expected);
}

std::string FirstListed(const fs::path& folder, const std::string& a, const std::string& b) {
    std::string first;
    platform::ListFolder(folder.string(), [&](std::string_view name, platform::EntryKind) {
        if (name == a || name == b) {
            first = name;
            return false;
        }
        return true;
    });
    return first;
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
    using modApps::PackageDisplayName;
    EXPECT_EQ(PackageDisplayName("Example.Notes.App_0a1b2c3d4e5f6"), "Example Notes App");
    EXPECT_EQ(PackageDisplayName("My_Tool.App_xyz"), "My_Tool App");
    EXPECT_EQ(PackageDisplayName("Example.Tool_1_abc"), "Example Tool_1");
    EXPECT_EQ(PackageDisplayName("Tool_abc"), "Tool");
    EXPECT_EQ(PackageDisplayName("_abc"), "");
    EXPECT_EQ(PackageDisplayName("NoUnderscore.App"), "NoUnderscore App");
}

TEST(PackageNames, PackageOfPathTakesTheElementBelowTheWholeRoot) {
    using modApps::PackageOfPath;
    EXPECT_EQ(PackageOfPath("/p/Packages", "/p/Packages/App_1/LocalState/f"), "App_1");
    EXPECT_EQ(PackageOfPath("/p/Packages/", "/p/Packages/loose.txt"), "loose.txt");
    EXPECT_EQ(PackageOfPath("/p/Packages", "/p/PackagesOld/App_1/f"), "");
    EXPECT_EQ(PackageOfPath("/p/Packages", "/p/Packages/"), "");
    EXPECT_EQ(PackageOfPath("/p/Packages", "/q/Packages/App_1/f"), "");
}

TEST(PackageNames, SortedInsertGoesAfterEqualsAndDeDupKeepsTheFirst) {
    Names list{"alpha", "Beta", "gamma"};
    EXPECT_EQ(modApps::SortedInsert(list, "BETA"), 2u);
    EXPECT_EQ(modApps::SortedInsert(list, "Aardvark"), 0u);
    EXPECT_EQ(list, (Names{"Aardvark", "alpha", "Beta", "BETA", "gamma"}));

    Names dups{"b", "A", "B", "a", "c", "b", "C"};
    modGlobal::RemoveDuplicateEntries(dups);
    EXPECT_EQ(dups, (Names{"b", "A", "c"}));
}

TEST(CollectFiles, FolderFilesComeBeforeEachSubtreeInTurn) {
    TempDir tmp;
    for (const char* file : {"1.dat", "a/2.dat", "a/deep/3.dat", "c/4.dat", "c/deep/5.txt"}) {
        WriteText(tmp.path() / file, "x");
    }
    WriteText(tmp.path() / ".hidden" / "6.dat", "x");
    const std::string top = tmp.path().string() + "/";
    Names files;
    modApps::CollectFiles(files, tmp.path().string(), "", true);
    const Names aFirst{top + "1.dat", top + "a/2.dat", top + "a/deep/3.dat", top + "c/4.dat",
                       top + "c/deep/5.txt"};
    const Names cFirst{top + "1.dat", top + "c/4.dat", top + "c/deep/5.txt", top + "a/2.dat",
                       top + "a/deep/3.dat"};
    EXPECT_EQ(files, FirstListed(tmp.path(), "a", "c") == "a" ? aFirst : cFirst);

    files.clear();
    modApps::CollectFiles(files, top, "*.DAT", true);
    EXPECT_EQ(files.size(), 4u);
    files.clear();
    modApps::CollectFiles(files, top, "?.dat", false);
    EXPECT_EQ(files, Names{top + "1.dat"});
}

TEST(FindPackages, HiddenEmptyAndDeepPackagesMatchTheFullWalk) {
    ProfileFixture fx;
    const fs::path root = fx.packages();
    fx.AddPackage("Example.Notes.App_0a1b");
    WriteText(root / "HiddenFiles.Only_1" / ".secret", "x");
    WriteText(root / "HiddenFiles.Only_1" / "LocalState" / ".state", "x");
    WriteText(root / "HiddenFolders.Only_2" / ".cache" / "data.bin", "x");
    WriteText(root / "HiddenFolders.Only_2" / "LocalState" / ".tmp" / "deep" / "f", "x");
    fs::path deep = root / "Deep.App_3";
    WriteText(deep / ".hidden" / "f", "x");
    for (int level = 0; level < 64; ++level) {
        fs::create_directories(deep / "empty");
        WriteText(deep / ".h" / "f", "x");
        deep /= "d";
    }
    WriteText(deep / "first.txt", "found at last");
    fs::create_directories(fx.AddEmptyPackage("Empty.App_4") / "LocalState" / "Nested");
    WriteText(root / "CacheOnly.App_5" / "Settings" / ".settings.dat", "x");
    WriteText(root / "CacheOnly.App_5" / "LocalCache" / "Local" / "x" / "f", "x");
    WriteText(root / "loose.txt", "a plain file is listed under its own name");
    WriteText(root / ".DS_Store", "hidden");
    ExpectPackages(root, {"CacheOnly.App_5", "Deep.App_3", "Example.Notes.App_0a1b", "loose.txt"});
}

TEST(FindPackages, LinksAndSystemEntriesAreNotFiles) {
    ProfileFixture fx;
    const fs::path root = fx.packages();
    const fs::path outside = fx.base().path() / "outside";
    WriteText(outside / "keep.txt", "outside");
    fs::create_directories(root / "Loop.App_1" / "LocalState");
    fs::create_directory_symlink(root / "Loop.App_1", root / "Loop.App_1" / "LocalState" / "up");
    fs::create_directory_symlink(root, root / "Loop.App_1" / "root");
    WriteText(root / "LoopWithFile.App_2" / "LocalCache" / "x" / "file", "x");
    fs::create_directory_symlink(root, root / "LoopWithFile.App_2" / "LocalCache" / "root");
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
    ExpectPackages(root, {"FileLink.App_4", "linked-file", "LoopWithFile.App_2"});
}

TEST(FindPackages, NamesEqualButForCaseGiveTheOneTheWalkMeetsFirst) {
    ProfileFixture fx;
    const fs::path root = fx.packages();
    WriteText(root / "Dup.App_1" / "Settings" / "s.dat", "x");
    WriteText(root / "DUP.APP_1" / "LocalState" / "db", "x");
    // A plain file in the root is met before any folder, whatever the listing order.
    WriteText(root / "Other.App_2" / "f", "x");
    WriteText(root / "other.app_2", "x");
    // Only the case variant that holds a file can stand for the name.
    fx.AddEmptyPackage("Case.App_3");
    WriteText(root / "CASE.APP_3" / "f", "x");
    const std::string dup = FirstListed(root, "Dup.App_1", "DUP.APP_1");
    ExpectPackages(root, {"CASE.APP_3", dup, "other.app_2"});
}

TEST(FindPackages, NamesComeFromBelowTheRootEvenIfTheProfileHoldsPackages) {
    TempDir tmp;
    const fs::path root = tmp.path() / "Packages" / "profile" / "AppData" / "Local" / "Packages";
    WriteText(root / "App.One_1" / "Packages" / "LocalState" / "f", "x");
    WriteText(root / "Some.App_2" / "AppData" / "Local" / "Packages" / "x" / "f", "x");
    ExpectPackages(root, {"App.One_1", "Some.App_2"});
    EXPECT_EQ(modApps::FindPackages(root.string() + "/"), (Names{"App.One_1", "Some.App_2"}));
    EXPECT_TRUE(modApps::FindPackages((tmp.path() / "missing").string()).empty());
}

TEST(FindPackages, UnreadableFoldersAreSkippedAndTheWalkGoesOn) {
    ProfileFixture fx;
    const fs::path root = fx.packages();
    WriteText(root / "A.App_1" / "f", "x");
    WriteText(root / "B.Locked_2" / "f", "x");
    WriteText(root / "C.App_3" / "Locked" / "f", "x");
    WriteText(root / "C.App_3" / "Open" / "f", "x");
    WriteText(root / "D.App_4" / "Locked" / "f", "x");
    WriteText(root / "E.App_5" / "f", "x");
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
