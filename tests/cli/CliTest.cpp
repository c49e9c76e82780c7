// The real command-line program on a temporary profile and program folder: what a
// scheduled run or a script sees (its lines, its log, its exit status).
#include "Fixtures.h"
#include "operations/History.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cstdlib>
#include <ctime>
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
    fs::path OutFile() const { return profile.base().path().string() + ".out"; }
    // The shell command that runs it with `args`, stdout into OutFile; `prefix` may set
    // the environment or run it as another user.
    std::string Line(const std::string& args, const std::string& prefix = {}) const {
        return "HOME='" + profile.profile().string() + "' " + prefix + " '" +
               (profile.program() / "dittoly-ua-cli").string() + "' " + args + " >'" +
               OutFile().string() + "'";
    }
    // The exit status; stdout in `out`, stderr in `err`.
    int Finish(int status) {
        out = ReadText(OutFile());
        err = ReadText(OutFile().string() + ".err");
        fs::remove(OutFile());
        fs::remove(OutFile().string() + ".err");
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    // Runs it with stdin not a terminal, or on a pseudo-terminal that answers "n", whose
    // transcript (what stderr showed) goes into `err`. script(1) runs the line with $SHELL,
    // which for a system user may be nologin: it gets a shell that runs it.
    int Cli(const std::string& args, const std::string& prefix = {}, bool terminal = false) {
        const std::string errFile = "'" + OutFile().string() + ".err'";
        const std::string line = Line(args, prefix);
        return Finish(std::system((terminal ? "printf 'n\\n' | SHELL=/bin/sh script -qec \"" +
                                                  line + "\" /dev/null >" + errFile + " 2>&1"
                                            : line + " </dev/null 2>" + errFile)
                                      .c_str()));
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

    fs::remove_all(profile.packages() / odd);  // a "\" is refused, as on Windows
    EXPECT_EQ(Cli("backup --all --quiet"), 0); // Catches: --quiet that tells more than failures
    EXPECT_EQ(out + err, "");
    EXPECT_EQ(Cli("backup --all"), 0); // Café has nothing to back up
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
    // Catches: names matched ignoring ASCII case only, as Windows never does.
    EXPECT_EQ(Cli("backup 'vendor CAFÉ'"), 0);
    EXPECT_EQ(err, "dittoly-ua-cli: Vendor Café: no Settings folder to back up\n");
}

// A usage error or a refused question changes nothing and says so with status 2.
// Catches: an unknown name that does not point to list, an ambiguous one that does not
// say what it may be, help that fails, and a question on stdout (where `> file` hides it).
TEST_F(CliTest, UsageErrorsAndUnansweredQuestionsChangeNothing) {
    profile.AddPackage("Example.Notes_abc");
    profile.AddPackage("Dup.App_1");
    profile.AddPackage("Dup.App_2");
    const auto before = TreeFingerprint(profile.base().path());
    for (const auto& [args, says] : std::initializer_list<std::pair<const char*, const char*>>{
             {"hard-reset --all", "--yes"},
             {"hard-reset Example.Notes_abc", ""},
             {"reset 'No App'", "run 'dittoly-ua-cli list'"},
             {"backup 'dup app'", "may be Dup.App_1, Dup.App_2 "},
             {"backup", ""},
             {"backup --all Example.Notes_abc", ""},
             {"frob", ""},
             {"list --dry-run", ""},
             {"--bogus", ""}}) {
        EXPECT_EQ(Cli(args), 2) << args;
        EXPECT_NE(err.find(says), std::string::npos) << err;
        EXPECT_EQ(TreeFingerprint(profile.base().path()), before) << args;
    }
    EXPECT_EQ(Cli("reset Example.Notes_abc", {}, true), 1); // answered "n" on a terminal
    EXPECT_EQ(out, "");
    EXPECT_NE(err.find("Do you want to Reset"), std::string::npos) << err;
    for (const std::string args : {"--help-all", "help backup", "backup --help", "help"}) {
        EXPECT_EQ(Cli(args), 0) << args;
        EXPECT_NE(out.find(args == "help" ? "restore APP" : "Example:\n  dittoly-ua-cli backup"),
                  std::string::npos)
            << out;
        EXPECT_NE(out.find((profile.program() / "Backup").string()), std::string::npos) << out;
    }
    EXPECT_EQ(TreeFingerprint(profile.base().path()), before);
    // --yes answers for scripts; an app gone since its backup can still be restored.
    EXPECT_EQ(Cli("backup Example.Notes_abc"), 0);
    EXPECT_EQ(Cli("hard-reset --yes 'example notes'"), 0);
    EXPECT_FALSE(fs::exists(profile.packages() / "Example.Notes_abc"));
    EXPECT_EQ(Cli("restore --yes Example.Notes_abc"), 0);
    EXPECT_EQ(ReadText(profile.packages() / "Example.Notes_abc" / "Settings" / "settings.dat"),
              "settings of Example.Notes_abc");
    fs::remove_all(profile.packages()); // list stops as every command does
    EXPECT_EQ(Cli("list"), 1);
    EXPECT_NE(err, "");
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
// take, a restore from History that is not the older backup exactly, and an id stamped in
// local time (the suite runs away from UTC).
TEST_F(CliTest, BackupsListsTheHistoryAsJsonAndRestoreFromPutsAnOlderBackupBack) {
    const fs::path settings = profile.AddPackage("Example.Notes_abc") / "Settings";
    const std::int64_t made = std::time(nullptr);
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
    const auto stamped = operations::history::ParseId(older["id"].toString().toStdString());
    ASSERT_TRUE(stamped.has_value());
    EXPECT_LE(std::abs(stamped->time - made), 60) << older["id"].toString().toStdString();
    EXPECT_EQ(Cli("restore --yes --from 2001-01-01T000000Z Example.Notes_abc"), 2);
    EXPECT_EQ(
        Cli("restore --yes --from " + older["id"].toString().toStdString() + " Example.Notes_abc"),
        0);
    EXPECT_EQ(TreeFingerprint(settings), first);
}

// Catches: --json that a parser cannot read or that shares stdout with other text, a
// wrong result, reason, count or size, and words that change with the locale.
TEST_F(CliTest, JsonOfARunWithAFailureIsTheSameInEveryLocale) {
    profile.AddPackage("Example.Notes_abc");
    const fs::path linked = profile.AddPackage("Vendor.Linked_1") / "Settings";
    fs::remove_all(linked);
    fs::create_directory_symlink(profile.profile(), linked);
    QJsonObject runs[2];
    std::string headers[2];
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(Cli("backup --all --json", i == 0 ? "LC_ALL=C.UTF-8" : "LC_ALL=de_DE.UTF-8"), 1);
        QJsonParseError error;
        runs[i] = QJsonDocument::fromJson(QByteArray::fromStdString(out), &error).object();
        ASSERT_EQ(error.error, QJsonParseError::NoError) << out;
        for (const char* time : {"start", "end"}) {
            EXPECT_TRUE(std::regex_match(runs[i][time].toString().toStdString(),
                                         std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ)")));
            runs[i].remove(time);
        }
        const std::string log = ReadText(profile.program() / "Backup" / "Dittoly UA.txt");
        headers[i] = log.substr(0, log.find('\r'));
    }
    EXPECT_NE(headers[0], headers[1]); // the log's date did follow the locale
    EXPECT_EQ(runs[0], runs[1]);
    EXPECT_EQ(runs[0]["operation"].toString(), "backup");
    EXPECT_EQ(runs[0]["counts"].toObject(),
              (QJsonObject{
                  {"apps", 2}, {"ok", 1}, {"error", 1}, {"nothing-to-do", 0}, {"not-started", 0}}));
    const QJsonArray apps = runs[0]["apps"].toArray();
    EXPECT_EQ(apps[0].toObject(), (QJsonObject{{"package", "Example.Notes_abc"},
                                               {"display", "Example Notes"},
                                               {"result", "ok"},
                                               {"files", 2},
                                               {"bytes", 56}}));
    EXPECT_EQ(apps[1]["result"].toString(), "error");
    EXPECT_EQ(apps[1]["reason"].toString(), "refused: the Settings folder is a link");
}

// Catches: a name that is not UTF-8 given as U+FFFD, so that fed back it reaches the other
// folder of a pair; a dry run that changes anything or writes a log or the history log, or
// says that a replaced backup moves to History when --keep 0 removes it.
TEST_F(CliTest, AnEscapedNameReachesItsOwnFolderAndADryRunChangesNothing) {
    const fs::path mine = profile.AddPackage("Twin.\xff_x");
    const fs::path twin = profile.AddPackage("Twin.\xfe_x");
    ASSERT_EQ(Cli("list --json"), 0);
    const QJsonArray apps = QJsonDocument::fromJson(QByteArray::fromStdString(out)).array();
    ASSERT_EQ(apps.size(), 2);
    const std::string name = apps[1]["package"].toString().toStdString(); // "\xff" sorts last
    ASSERT_EQ(Cli("backup --all"), 0); // Backup/ and its logs are there to be written to
    const auto before = TreeFingerprint(profile.base().path());
    for (const std::string& args : std::vector<std::string>{
             "backup --all -n", "hard-reset --dry-run '" + name + "'", "restore --all -n --json"}) {
        EXPECT_EQ(Cli(args), 0) << args;
        EXPECT_EQ(TreeFingerprint(profile.base().path()), before) << args;
    }
    for (const std::string keep : {"", "--keep 0 "}) {
        EXPECT_EQ(Cli("backup -n " + keep + "'" + name + "'"), 0) << keep;
        EXPECT_NE(out.find(keep.empty() ? "), which moves to History\n" : "), which is removed\n"),
                  std::string::npos)
            << out;
    }
    EXPECT_EQ(Cli("backup -n --json '" + name + "'"), 0);
    const QJsonObject plan =
        QJsonDocument::fromJson(QByteArray::fromStdString(out)).object()["apps"][0].toObject();
    EXPECT_EQ(plan["package"].toString().toStdString(), name) << out;
    EXPECT_EQ(plan["bytes"].toInt(), 38); // what the copy would carry
    EXPECT_EQ(Cli("hard-reset --yes --json '" + name + "'"), 0);
    EXPECT_FALSE(fs::exists(mine));
    EXPECT_TRUE(fs::exists(twin / "Settings" / "settings.dat"));
}

// Catches: an interrupt that kills the copy and leaves its staging folder or a cut backup
// behind, or ends without saying where it stopped and with another status than 130. The
// interrupt comes as the copy starts on its first file (strace delivers it there), so it
// lands inside the copy however fast the machine is.
TEST_F(CliTest, AnInterruptStopsTheCopyAndLeavesThePreviousBackupWhole) {
    const fs::path settings = profile.AddPackage("Example.Notes_abc") / "Settings";
    ASSERT_EQ(Cli("backup --all"), 0);
    const fs::path backup = profile.program() / "Backup" / "Example.Notes_abc";
    const std::string before = TreeFingerprint(backup);
    for (int i = 0; i < 4; ++i) {
        WriteText(settings / ("more-" + std::to_string(i)), "more");
    }
    // LeakSanitizer cannot work under ptrace: the sanitizer build's leak check is off here.
    EXPECT_EQ(Cli("backup --all", "ASAN_OPTIONS=\"$ASAN_OPTIONS:detect_leaks=0\" strace -f -qq "
                                  "-o /dev/null -e trace=copy_file_range "
                                  "-e inject=copy_file_range:signal=INT:when=1"),
              130)
        << err;
    EXPECT_EQ(TreeFingerprint(backup), before); // no staging folder, no History entry
    EXPECT_EQ(err, "dittoly-ua-cli: Example Notes: interrupted\ndittoly-ua-cli: interrupted in "
                   "Example Notes, which was left as it was\n");
    EXPECT_TRUE(std::regex_search(out, std::regex("Example Notes .*<Error>\n"))) << out;
}

// Catches: a history log that grows without end, loses a run, or is cut inside one.
TEST_F(CliTest, TheHistoryLogKeepsTheLatestRunsWhole) {
    profile.AddPackage("Example.Notes_abc");
    std::string nights; // twelve older runs of about 100 KB each
    for (int night = 0; night < 12; ++night) {
        nights += "====================== Dittoly UA - Backup process - night " +
                  std::to_string(night) + " =========================\r\n";
        for (int line = 0; line < 1000; ++line) {
            nights += "line of night " + std::to_string(night) + std::string(80, '.') + "\r\n";
        }
    }
    const fs::path history = profile.program() / "Backup" / "Dittoly UA history.txt";
    WriteText(history, nights);
    std::string runs;
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(Cli("backup --all"), 0);
        runs += out;
    }
    std::string kept = ReadText(history);
    EXPECT_LE(kept.size(), 1024u * 1024u);
    std::erase(kept, '\r');
    EXPECT_TRUE(kept.ends_with(runs)) << kept.substr(kept.size() - 2000);
    // The newest ten of the older runs fit beside the two new ones, each whole.
    EXPECT_TRUE(kept.starts_with("====================== Dittoly UA - Backup process - night 2 "));
    std::size_t lines = 0;
    for (std::size_t at = 0; (at = kept.find("\nline of night ", at + 1)) != std::string::npos;) {
        ++lines;
    }
    EXPECT_EQ(lines, 10000u);
}

} // namespace
