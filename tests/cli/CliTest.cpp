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
#include <unistd.h>

using namespace testsupport;

namespace {

class CliTest : public ::testing::Test {
protected:
    ProfileFixture profile;
    std::string out;
    std::string err;

    void SetUp() override {
        // Beside its program file is where it keeps Backup and Data, as the window does.
        fs::copy_file(fs::read_symlink("/proc/self/exe").parent_path() / DITTOLY_CLI,
                      profile.program() / "dittoly-ua-cli");
    }
    // Runs it with `args`, stdin not a terminal; the exit status, stdout in `out`, stderr
    // in `err`. `prefix` may run it as another user.
    int Cli(const std::string& args, const std::string& prefix = {}) {
        const fs::path outFile = profile.base().path().parent_path() /
                                 (profile.base().path().filename().string() + ".out");
        const std::string command = "HOME='" + profile.profile().string() + "' " + prefix + " '" +
                                    (profile.program() / "dittoly-ua-cli").string() + "' " + args +
                                    " </dev/null >'" + outFile.string() + "' 2>'" +
                                    outFile.string() + ".err'";
        const int status = std::system(command.c_str());
        out = ReadText(outFile);
        err = ReadText(outFile.string() + ".err");
        fs::remove(outFile);
        fs::remove(outFile.string() + ".err");
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
};

// A scheduled run and a window run leave the same record: the printed lines are the
// log's, line for line (whose exact texts the run frame's test holds), and then the line
// that says where the log went. An app that keeps no Settings says so on stderr but fails
// no nightly backup. Catches too: JSON written without escaping a name's quote or
// backslash, which no parser reads.
TEST_F(CliTest, ListsTheAppsAndBackupAllPrintsTheLogAndTheReasons) {
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

    fs::remove_all(profile.packages() / odd); // a "\" is refused, as on Windows
    EXPECT_EQ(Cli("backup --all"), 0);        // Café has nothing to back up
    EXPECT_EQ(err, "dittoly-ua-cli: Vendor Café: no Settings folder to back up\n");
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

// Catches: a denied write that fails without its reason, and a run that starts, failing
// app after app, in a program folder it cannot write.
TEST_F(CliTest, ADeniedWriteSaysWhyAndAnUnwritableProgramFolderStopsTheRunFirst) {
    profile.AddPackage("Example.Notes_abc");
    fs::create_directories(profile.program() / "Backup" / "Example.Notes_abc");
    // Root may write anywhere: the program then runs as nobody, over files nobody owns.
    std::string asUser;
    if (::geteuid() == 0) {
        fs::permissions(profile.base().path(), fs::perms::all, fs::perm_options::add);
        ASSERT_EQ(
            std::system(("chown -R 65534:65534 '" + profile.base().path().string() + "'").c_str()),
            0);
        asUser = "setpriv --reuid=65534 --regid=65534 --clear-groups";
    }
    fs::permissions(profile.program() / "Backup" / "Example.Notes_abc", fs::perms::owner_write,
                    fs::perm_options::remove);
    EXPECT_EQ(Cli("backup --all", asUser), 1);
    EXPECT_EQ(err, "dittoly-ua-cli: Example Notes: Permission denied\n");
    fs::remove_all(profile.program() / "Backup");
    fs::permissions(profile.program(), fs::perms::owner_write, fs::perm_options::remove);
    const auto before = TreeFingerprint(profile.base().path());
    EXPECT_EQ(Cli("backup --all", asUser), 1);
    EXPECT_EQ(err, "dittoly-ua-cli: cannot write in " + profile.program().string() +
                       ": Permission denied; nothing was changed\n");
    EXPECT_EQ(TreeFingerprint(profile.base().path()), before);
    fs::permissions(profile.program(), fs::perms::owner_write, fs::perm_options::add);
}

// Catches: backups --json that a parser cannot read or whose ids restore --from does not
// take, and a restore from History that is not the older backup exactly.
TEST_F(CliTest, BackupsListsTheHistoryAsJsonAndRestoreFromPutsAnOlderBackupBack) {
    const fs::path settings = profile.AddPackage("Example.Notes_abc") / "Settings";
    EXPECT_EQ(Cli("backup --all"), 0);
    const std::string first = TreeFingerprint(settings);
    WriteText(settings / "settings.dat", "changed");
    EXPECT_EQ(Cli("backup Example.Notes_abc"), 0);
    EXPECT_EQ(Cli("backups --json"), 0);
    const QJsonArray apps = QJsonDocument::fromJson(QByteArray::fromStdString(out)).array();
    ASSERT_EQ(apps.size(), 1);
    const QJsonObject app = apps[0].toObject();
    EXPECT_EQ(app["package"].toString(), "Example.Notes_abc");
    EXPECT_EQ(app["latest"].toObject()["files"].toInt(), 2);
    const QJsonObject older = app["history"].toArray()[0].toObject();
    EXPECT_EQ(older["kind"].toString(), "backup");
    EXPECT_EQ(older["bytes"].toInt(), 56);
    EXPECT_EQ(Cli("restore --yes --from 2001-01-01T000000Z Example.Notes_abc"), 2);
    EXPECT_EQ(
        Cli("restore --yes --from " + older["id"].toString().toStdString() + " Example.Notes_abc"),
        0);
    EXPECT_EQ(TreeFingerprint(settings), first);
}

} // namespace
