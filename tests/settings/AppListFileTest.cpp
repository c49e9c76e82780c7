// The detected-apps file on disk, as far as fuzz_applist does not reach: the exact bytes
// written (checked under Wine too), and which paths are never written or read.
#include "settings/AppListFile.h"
#include "Fixtures.h"

#include <gtest/gtest.h>

using namespace testsupport;
using settings::ReadAppListFile;
using settings::WriteAppListFile;

TEST(AppListFile, CrLfAfterEveryLineOnlyIntoAFolderThereAndOddFilesAreNotRead) {
    TempDir dir;
    const std::string file = (dir.path() / "uapps.dat").string();
    ASSERT_TRUE(WriteAppListFile(file, {"Example.Notes_abc", "Tool_abc"}));
    EXPECT_EQ(ReadText(file), "Example.Notes_abc\r\nTool_abc\r\n");
    ASSERT_TRUE(WriteAppListFile(file, {}));
    EXPECT_EQ(ReadText(file), ""); // zero bytes, and still a file that exists

    const auto missing = dir.path() / "Data" / "uapps.dat";
    EXPECT_FALSE(WriteAppListFile(missing.string(), {"A_a"}));
    EXPECT_FALSE(fs::exists(dir.path() / "Data"));
    fs::create_directories(dir.path() / "folder.dat"); // a folder, not a file
    WriteText(dir.path() / ".hidden.dat", "A_a\r\n");
    for (const fs::path& odd : {missing, dir.path() / "folder.dat", dir.path() / ".hidden.dat"}) {
        EXPECT_FALSE(ReadAppListFile(odd.string())) << odd;
    }
}
