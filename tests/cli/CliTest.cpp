// The real command-line program on a temporary profile and program folder: what a
// scheduled run or a script sees (its lines, its log, its exit status).
#include "Fixtures.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
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
        fs::copy_file(fs::read_symlink("/proc/self/exe").parent_path() / DITTOLY_CLI,
                      profile.program() / "dittoly-ua-cli");
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

// A scheduled run and a window run leave the same record: the printed lines are the
// log's, line for line (whose exact texts the run frame's test holds), and then the line
// that says where the log went. Catches too: JSON written without escaping a name's quote
// or backslash, which no parser reads.
TEST_F(CliTest, ListsTheAppsAndBackupAllPrintsTheLogAndFailsWhenALineFailed) {
    profile.AddPackage("Example.Notes_abc");
    const std::string odd = profile.AddPackage(R"(Odd."Name\_q)").filename().string();
    fs::remove_all(profile.AddPackage("Vendor.Café_9z") / "Settings");
    EXPECT_EQ(Cli("list"), 0);
    EXPECT_EQ(out, "Example Notes\tExample.Notes_abc\nOdd \"Name\\\t" + odd +
                       "\nVendor Café\tVendor.Café_9z\n");
    EXPECT_EQ(Cli("list --json"), 0);
    EXPECT_EQ(QJsonDocument::fromJson(QByteArray::fromStdString(out)).array().at(1),
              QJsonObject({{"display", R"(Odd "Name\)"}, {"package", QString::fromStdString(odd)}}))
        << out;

    EXPECT_EQ(Cli("backup --all"), 1); // Café has nothing to back up
    std::string log = ReadText(profile.program() / "Backup" / "Dittoly UA.txt");
    std::erase(log, '\r');
    ASSERT_TRUE(out.starts_with(log)) << out;
    const std::string backup = (profile.program() / "Backup").string() + "/";
    EXPECT_TRUE(out.substr(log.size()).ends_with(" Log saved to " + backup + " <OK>\n")) << out;
    // The regional time of day leads every status line.
    EXPECT_TRUE(std::regex_search(
        log, std::regex(R"(\n\d\d?:\d\d:\d\d(\s?[AP]M)? Vendor Café .*<Error>\n)")))
        << log;
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
