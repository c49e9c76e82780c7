// The real command-line program on a temporary profile and program folder: what a
// scheduled run or a script sees (its lines, its log, its exit status).
#include "Fixtures.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <regex>
#include <sys/wait.h>

using namespace testsupport;

namespace {

class CliTest : public ::testing::Test {
protected:
    ProfileFixture profile;
    std::string out;

    void SetUp() override {
        // Beside its program file is where it keeps Backup and Data, as the window does.
        fs::copy_file(DITTOLY_CLI, profile.program() / "dittoly-ua-cli");
    }
    // Runs it with `args`, stdin not a terminal; the exit status, stdout in `out`.
    int Cli(const std::string& args) {
        const fs::path stdoutFile = profile.base().path() / "stdout";
        const std::string command = "HOME='" + profile.profile().string() + "' '" +
                                    (profile.program() / "dittoly-ua-cli").string() + "' " + args +
                                    " </dev/null >'" + stdoutFile.string() + "' 2>/dev/null";
        const int status = std::system(command.c_str());
        out = ReadText(stdoutFile);
        fs::remove(stdoutFile);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
};

TEST_F(CliTest, ListsTheDetectedAppsPlainAndAsJson) {
    profile.AddPackage("Contoso.Notes.App_0a1b");
    profile.AddPackage("Vendor.Café_9z");
    EXPECT_EQ(Cli("list"), 0);
    EXPECT_EQ(out, "Contoso Notes App\tContoso.Notes.App_0a1b\nVendor Café\tVendor.Café_9z\n");
    EXPECT_EQ(Cli("list --json"), 0);
    EXPECT_NE(out.find("\"display\": \"Vendor Café\",\n        \"package\": \"Vendor.Café_9z\""),
              std::string::npos)
        << out;
}

// The printed lines and the log must be the window's, line for line: a scheduled run
// and a window run leave the same record.
TEST_F(CliTest, BackupAllPrintsAndLogsTheWindowsLines) {
    profile.AddPackage("Example.Notes_abc");
    fs::remove_all(profile.AddPackage("Example.Maps_def") / "Settings");
    EXPECT_EQ(Cli("backup --all"), 1); // Maps has nothing to back up
    const std::string pkgs = profile.packages().string();
    const std::string backup = (profile.program() / "Backup").string() + "/";
    const std::string expected =
        "====================== Dittoly UA - Backup process - DATE =========================\n"
        "TIME Example Maps | Backup [from] " +
        pkgs + "/Example.Maps_def/Settings/ [to] " + backup +
        "Example.Maps_def/  <Error>\n"
        "TIME Example Notes | Backup [from] " +
        pkgs + "/Example.Notes_abc/Settings/ [to] " + backup +
        "Example.Notes_abc/  <OK>\n"
        "====================== Statistics =========================\n"
        "Total Apps backed up: 2\n"
        "=====================================================\n";
    const auto general = [](const std::string& text) {
        const std::regex time(R"(^\d\d?:\d\d:\d\d(\s?[AP]M)? )", std::regex::multiline);
        const std::regex date(R"(process - .* =)");
        return std::regex_replace(std::regex_replace(text, time, "TIME "), date,
                                  "process - DATE =");
    };
    EXPECT_EQ(general(out), expected + "TIME Log saved to " + backup + " <OK>\n");
    std::string log = ReadText(profile.program() / "Backup" / "Dittoly UA.txt");
    std::erase(log, '\r');
    EXPECT_EQ(general(log), expected);
}

// A usage error or a refused question changes nothing and says so with status 2.
TEST_F(CliTest, UsageErrorsAndUnansweredQuestionsChangeNothing) {
    profile.AddPackage("Example.Notes_abc");
    const auto before = TreeFingerprint(profile.base().path());
    for (const char* args :
         {"hard-reset --all", "hard-reset Example.Notes_abc", "reset 'No App'", "backup Nope_x",
          "backup", "backup --all Example.Notes_abc", "frob", "backup --all --json", "--bogus"}) {
        EXPECT_EQ(Cli(args), 2) << args;
        EXPECT_EQ(TreeFingerprint(profile.base().path()), before) << args;
    }
    // --yes answers for scripts; an app gone since its backup can still be restored.
    EXPECT_EQ(Cli("backup Example.Notes_abc"), 0);
    EXPECT_EQ(Cli("hard-reset --yes 'example notes'"), 0);
    EXPECT_FALSE(fs::exists(profile.packages() / "Example.Notes_abc"));
    EXPECT_EQ(Cli("restore --yes Example.Notes_abc"), 0);
    EXPECT_EQ(ReadText(profile.packages() / "Example.Notes_abc" / "Settings" / "settings.dat"),
              "settings of Example.Notes_abc");
}

} // namespace
