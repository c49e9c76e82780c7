// Why an app failed, as the command line tells it on stderr and keeps it in the history log:
// the path inside the app's folder, or from Backup, that stopped the work.
#include "CliFixture.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace testsupport;

namespace {

class ReasonsTest : public CliTest {
protected:
    fs::path settings = profile.AddPackage("Example.Notes_abc") / "Settings";
    fs::path backup = profile.program() / "Backup";

    std::string History() const { return ReadText(backup / "Dittoly UA history.txt"); }
};

// Catches: a reason that does not say which entry was left out, a name that is not UTF-8
// or holds a line break printed raw (a broken terminal line, or a line in the history log
// that its trimming takes for the start of a run), a reason missing from the history log
// or written where it reads as a status line.
TEST_F(ReasonsTest, TheEntryLeftOutIsNamedOnStderrAndInTheHistoryLog) {
    ASSERT_EQ(::mkfifo((settings / "p\xff\nipe").c_str(), 0600), 0);
    EXPECT_EQ(Cli("backup --all"), 1);
    const std::string reason = "Settings/p/xFF/x0Aipe: links, mount points and special files are "
                               "never copied; this one and any others were left out";
    EXPECT_EQ(err, "dittoly-ua-cli: Example Notes: " + reason + "\n");
    EXPECT_NE(History().find("<Error>\r\n    why: " + reason + "\r\n===="), std::string::npos)
        << History();
}

// Catches: a refusal that does not say which folder on the way is a link, and a dangling
// Backup link that fails every app with words that name no path.
TEST_F(ReasonsTest, ALinkOnTheWayAndADanglingBackupAreNamed) {
    ASSERT_EQ(Cli("backup --all"), 0);
    fs::create_directory_symlink(profile.base().path(), backup / "Example.Notes_abc" / "History");
    WriteText(settings / "settings.dat", "changed");
    EXPECT_EQ(Cli("backup --all"), 1);
    EXPECT_EQ(err, "dittoly-ua-cli: Example Notes: refused: Backup/Example.Notes_abc/History is a "
                   "link or a mount point\n");
    fs::remove_all(backup);
    fs::create_directory_symlink(profile.base().path() / "gone", backup);
    EXPECT_EQ(Cli("backup --all"), 1);
    EXPECT_EQ(err, "dittoly-ua-cli: Example Notes: Backup: No such file or directory\n");
}

// Catches: an unreadable file that fails the app without its name, or named by a path that
// is not the one inside the app's folder.
TEST_F(ReasonsTest, AnUnreadableFileIsNamedInsideTheAppsFolder) {
    if (::geteuid() == 0) {
        GTEST_SKIP() << "root reads every file";
    }
    fs::permissions(settings / "roaming" / "state.json", fs::perms::none);
    EXPECT_EQ(Cli("backup --all"), 1);
    EXPECT_EQ(err,
              "dittoly-ua-cli: Example Notes: Settings/roaming/state.json: Permission denied\n");
}

} // namespace
