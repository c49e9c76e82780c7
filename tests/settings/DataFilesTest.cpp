// What the settings and app-list files meet in Data/ besides their own files: pipes, files
// past the size limits, links to files kept elsewhere, leftovers of a killed save.
// Long on purpose: each case is a file a careless read would hang on or a save destroy.
#include "Fixtures.h"
#include "platform/Ini.h"
#include "platform/Platform.h"
#include "settings/AppListFile.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

using namespace testsupport;
using platform::GetProfileString;
using platform::WriteProfileString;

// A read that waits on a pipe hangs the start and the close; a file replaced because it
// could not be read loses whatever it held.
TEST(OddDataFiles, PipesAndOversizedFilesAreNeitherReadNorReplaced) {
    TempDir dir;
    const auto pipe = dir.path() / "pipe";
    const auto linkToPipe = dir.path() / "link";
    const auto huge = dir.path() / "huge";
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    fs::create_symlink(pipe, linkToPipe);
    std::string hugeText = "[UA]\r\nk=v\r\n";
    hugeText.resize(platform::kMaxTextFileBytes);
    WriteText(huge, hugeText);
    EXPECT_EQ(GetProfileString("UA", "k", "d", huge.string(), 255), "v"); // at the limit
    WriteText(huge, hugeText += '\n');

    EXPECT_FALSE(platform::IsFile(pipe.string()) || platform::IsFile(linkToPipe.string()));
    for (const fs::path& odd : {pipe, linkToPipe, huge}) {
        const auto type = fs::symlink_status(odd).type();
        EXPECT_FALSE(platform::ReadWholeFile(odd.string())) << odd;
        EXPECT_EQ(GetProfileString("UA", "k", "d", odd.string(), 255), "d") << odd;
        EXPECT_EQ(WriteProfileString("UA", "k", "w", odd.string()), 0) << odd;
        EXPECT_FALSE(settings::ReadAppListFile(odd.string())) << odd;
        EXPECT_FALSE(settings::WriteAppListFile(odd.string(), {"A_a"})) << odd;
        EXPECT_EQ(fs::symlink_status(odd).type(), type) << odd;
    }
    EXPECT_EQ(ReadText(huge), hugeText);

    // A list longer than the list boxes hold counts as damaged too; a last line without a
    // line end is a line.
    std::string lines;
    for (std::size_t i = 0; i < settings::kMaxAppListLines; ++i) {
        lines += "A_a\r\n";
    }
    WriteText(huge, lines);
    EXPECT_EQ(settings::ReadAppListFile(huge.string())->size(), settings::kMaxAppListLines);
    WriteText(huge, lines += "B_b");
    EXPECT_FALSE(settings::ReadAppListFile(huge.string()));
    EXPECT_FALSE(settings::WriteAppListFile(huge.string(), {"A_a"}));
    EXPECT_EQ(ReadText(huge), lines);
}

// Replacing a link with a plain file leaves the real file behind with the old content; a
// temporary file beside the link instead of the target may cross file systems; a log
// written through a link writes wherever the link points.
TEST(OddDataFiles, LinkedFilesAreWrittenThroughAndTheLogLinkIsNot) {
    TempDir dir;
    WriteText(dir.path() / "elsewhere" / "real.ini", "[UA]\r\nk=1\r\n");
    WriteText(dir.path() / "elsewhere" / "real.dat", "A_a\r\n");
    WriteText(dir.path() / "elsewhere" / "real.txt", "old log");
    const auto data = dir.path() / "Data";
    fs::create_directories(data);
    for (const char* name : {"real.ini", "real.dat", "real.txt"}) {
        fs::create_symlink(fs::path("../elsewhere") / name, data / name);
    }
    fs::permissions(dir.path() / "elsewhere" / "real.ini",
                    fs::perms::owner_read | fs::perms::owner_write);
    // Leftovers of a killed save beside the target, and one of a process still running.
    // No process ever has the id pid_max.
    const std::string ended = ReadText("/proc/sys/kernel/pid_max");
    const std::string live = "real.ini.tmp-" + std::to_string(::getppid()) + "-abcdef";
    WriteText(dir.path() / "elsewhere" /
                  ("real.ini.tmp-" + std::to_string(std::stol(ended)) + "-abcdef"),
              "x");
    WriteText(dir.path() / "elsewhere" / live, "x");

    EXPECT_NE(WriteProfileString("UA", "k", "2", (data / "real.ini").string()), 0);
    EXPECT_TRUE(settings::WriteAppListFile((data / "real.dat").string(), {"B_b"}));
    EXPECT_TRUE(platform::ReplaceFile((data / "real.txt").string(), "new log"));
    EXPECT_EQ(TreeFingerprint(dir.path()), "Data/\n"
                                           "Data/real.dat -> ../elsewhere/real.dat\n"
                                           "Data/real.ini -> ../elsewhere/real.ini\n"
                                           "Data/real.txt = new log\n"
                                           "elsewhere/\n"
                                           "elsewhere/real.dat = B_b\r\n\n"
                                           "elsewhere/real.ini = [UA]\r\nk=2\r\n\n"
                                           "elsewhere/" +
                                               live +
                                               " = x\n"
                                               "elsewhere/real.txt = old log\n");
    EXPECT_EQ(fs::status(data / "real.ini").permissions(),
              fs::perms::owner_read | fs::perms::owner_write);
}
