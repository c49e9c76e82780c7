// The detected-apps file on disk.
#include "settings/AppListFile.h"
#include "Fixtures.h"

#include <gtest/gtest.h>

using namespace testsupport;
using settings::ReadAppListFile;
using settings::WriteAppListFile;
using Names = std::vector<std::string>;

TEST(AppListFile, RoundTripsWithCrLfAfterEveryLineAndReadsHandEditedLineEnds) {
    TempDir dir;
    const std::string file = (dir.path() / "uapps.dat").string();
    ASSERT_TRUE(WriteAppListFile(file, {"Example.Notes_abc", "Tool_abc"}));
    EXPECT_EQ(ReadText(file), "Example.Notes_abc\r\nTool_abc\r\n");
    ASSERT_TRUE(WriteAppListFile(file, {}));
    EXPECT_EQ(ReadText(file), ""); // zero bytes, and still a file that exists
    EXPECT_EQ(ReadAppListFile(file), Names{});

    WriteText(file, "B_b\nA_a\r\n\r\nNoUnderscore\r\nlast_line");
    EXPECT_EQ(ReadAppListFile(file), (Names{"B_b", "A_a", "", "NoUnderscore", "last_line"}));
}

TEST(AppListFile, NothingIsWrittenWithoutTheFolderAndOddFilesAreNotRead) {
    TempDir dir;
    const auto missing = dir.path() / "Data" / "uapps.dat";
    EXPECT_FALSE(WriteAppListFile(missing.string(), {"A_a"}));
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "Data"));
    EXPECT_FALSE(ReadAppListFile(missing.string()));

    std::filesystem::create_directories(dir.path() / "folder.dat"); // a folder, not a file
    EXPECT_FALSE(ReadAppListFile((dir.path() / "folder.dat").string()));
    WriteText(dir.path() / ".hidden.dat", "A_a\r\n");
    EXPECT_FALSE(ReadAppListFile((dir.path() / ".hidden.dat").string()));
}
