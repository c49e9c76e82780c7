// Shared paths and the file-system helpers, on real folders.
#include "common/modGlobal.h"
#include "Fixtures.h"

#include <cstdlib>
#include <gtest/gtest.h>

using namespace testsupport;
using namespace modGlobal;

TEST(FileSystemHelpers, TellFilesAndFoldersApartAndCreateWholeChainsQuietly) {
    TempDir dir;
    const std::string folder = dir.path().string();
    const std::string file = folder + "/file.txt";
    WriteText(file, "a file");
    EXPECT_TRUE(FolderExists(folder) && FolderExists(folder + "/") && FileExists(file));
    EXPECT_FALSE(FolderExists(file) || FileExists(folder));
    for (const std::string& odd :
         {std::string(), folder + "/missing", file + "/below-a-file", std::string("\0x", 2)}) {
        EXPECT_FALSE(FolderExists(odd) || FileExists(odd)) << odd;
    }
    CreateFolder(folder + "/a/b/c/");
    EXPECT_TRUE(FolderExists(folder + "/a/b/c"));
    CreateFolder(file + "/sub"); // cannot: no report, no change
    CreateFolder("");
    EXPECT_EQ(ReadText(file), "a file");
}

TEST(SharedPaths, TheProfileLosesExactlyOneTrailingSeparator) {
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
