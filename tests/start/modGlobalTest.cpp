// Shared paths and the file-system helpers, on real folders.
#include "start/modGlobal.h"
#include "Fixtures.h"

#include <cstdlib>
#include <gtest/gtest.h>

using namespace testsupport;
using namespace modGlobal;

TEST(FileSystemHelpers, FilesAndFoldersAreToldApartAndNothingThrows) {
    TempDir dir;
    WriteText(dir.path() / "file.txt", "x");
    const std::string folder = dir.path().string();
    const std::string file = (dir.path() / "file.txt").string();
    EXPECT_TRUE(FolderExists(folder));
    EXPECT_TRUE(FolderExists(folder + "/")); // the log save tests BackupDir in this form
    EXPECT_FALSE(FolderExists(file));
    EXPECT_TRUE(FileExists(file));
    EXPECT_FALSE(FileExists(folder));
    for (const std::string& odd :
         {std::string(), folder + "/missing", file + "/below-a-file", std::string("\0x", 2)}) {
        EXPECT_FALSE(FolderExists(odd));
        EXPECT_FALSE(FileExists(odd));
    }
}

TEST(FileSystemHelpers, CreateFolderMakesTheWholeChainAndReportsNothing) {
    TempDir dir;
    const auto deep = dir.path() / "a" / "b" / "c";
    CreateFolder(deep.string() + "/");
    EXPECT_TRUE(FolderExists(deep.string()));
    WriteText(deep / "keep.txt", "kept");
    CreateFolder(deep.string()); // exists already: nothing changes
    EXPECT_EQ(ReadText(deep / "keep.txt"), "kept");
    WriteText(dir.path() / "plain", "a file");
    CreateFolder((dir.path() / "plain" / "sub").string()); // cannot: no report, no change
    EXPECT_EQ(ReadText(dir.path() / "plain"), "a file");
    CreateFolder("");
}

TEST(SharedPaths, AreBuiltByPlainConcatenation) {
    const Roots roots{"/opt/dittoly", "/home/user"};
    EXPECT_EQ(roots.PackagesRoot(), "/home/user/AppData/Local/Packages");
    EXPECT_EQ(roots.PackageFolder("A.App_x"), "/home/user/AppData/Local/Packages/A.App_x");
    EXPECT_EQ(roots.DataDir(), "/opt/dittoly/Data/");
    EXPECT_EQ(roots.DataDirNoSep(), "/opt/dittoly/Data");
    EXPECT_EQ(roots.SettingsFile(), "/opt/dittoly/Data/dittoly.ini");
    EXPECT_EQ(roots.AppListFile(), "/opt/dittoly/Data/uapps.dat");
    EXPECT_EQ(roots.IconFile(), "/opt/dittoly/Data/dittoly.ico");
    EXPECT_EQ(roots.BackupDir(), "/opt/dittoly/Backup/");
    EXPECT_EQ(roots.LogFile(), "/opt/dittoly/Backup/Dittoly UA.txt");
    // An undeterminable profile gives a path that is simply not found.
    EXPECT_EQ((Roots{"/p", ""}.PackagesRoot()), "/AppData/Local/Packages");
}

TEST(SharedPaths, TheProfileFolderLosesExactlyOneTrailingSeparator) {
    const char* saved = std::getenv("HOME");
    const std::string home = saved != nullptr ? saved : "";
    setenv("HOME", "/home/user/", 1);
    EXPECT_EQ(GetSpecialFolder(CSIDL_PROFILE), "/home/user");
    setenv("HOME", "/home/user//", 1);
    EXPECT_EQ(GetSpecialFolder(CSIDL_PROFILE), "/home/user/");
    EXPECT_EQ(GetSpecialFolder(0x0005), ""); // no other folder is ever asked for
    setenv("HOME", home.c_str(), 1);
}

TEST(RemoveDuplicateEntries, KeepsTheFirstOfEachGroupIgnoringCase) {
    std::vector<std::string> list{"b", "A", "a", "B", "c", "A"};
    RemoveDuplicateEntries(list);
    EXPECT_EQ(list, (std::vector<std::string>{"b", "A", "c"}));
}
