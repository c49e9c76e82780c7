// The real command-line program on a temporary profile and program folder: what a
// scheduled run or a script sees (its lines, its log, its exit status).
#include "CliFixture.h"
#include "operations/History.h"
#include "platform/Platform.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <future>
#include <gtest/gtest.h>
#include <regex>
#include <set>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace testsupport;

namespace {

// Checks a system-call trace (strace -f -y) of one run: every data write is flushed (fsync
// or fdatasync of its file, or syncfs) before any rename that follows it, and each
// successful rename but a discard's (to a ".gone" name) is followed by an fsync of every
// folder whose entries it changed.
void CheckFlushedAroundRenames(const std::vector<std::string>& calls, const std::string& run) {
    // Not what goes to stdout and stderr.
    static const std::regex written(R"re((?:^|\s)(?:write|pwrite64)\((?![12]<)\d+<([^>]*)>)re");
    static const std::regex copied(R"re(copy_file_range\(\d+<[^>]*>, [^,]*, \d+<([^>]*)>)re");
    static const std::regex flushed(R"re((fsync|fdatasync|syncfs)\(\d+<([^>]*)>\) += 0)re");
    static const std::regex renamedAt(
        R"re(renameat2?\((?:\d+<([^>]*)>|AT_FDCWD), "([^"]*)", )re"
        R"re((?:\d+<([^>]*)>|AT_FDCWD), "([^"]*)"(, RENAME_EXCHANGE)?.*\) += 0)re");
    static const std::regex renamed(R"re((?:^|\s)rename\("([^"]*)", "([^"]*)"\) += 0)re");
    const auto parent = [](const std::string& path) {
        return fs::path(path).parent_path().string();
    };
    std::set<std::string> unflushed; // files written since their last flush
    std::vector<std::pair<std::string, std::size_t>> folders; // to flush, with the rename's line
    int renames = 0;
    for (std::size_t i = 0; i < calls.size(); ++i) {
        std::smatch m;
        const std::string& call = calls[i];
        if (std::regex_search(call, m, written) || std::regex_search(call, m, copied)) {
            const std::string path = m[1];
            if (path.starts_with("/") && !path.starts_with("/dev/") && !path.ends_with(".lock")) {
                unflushed.insert(path);
            }
        } else if (std::regex_search(call, m, flushed)) {
            if (m[1] == "syncfs") {
                unflushed.clear();
            }
            unflushed.erase(m[2]);
            std::erase_if(folders, [&](const auto& folder) { return folder.first == m[2]; });
        } else if (std::regex_search(call, m, renamedAt) || std::regex_search(call, m, renamed)) {
            ++renames;
            EXPECT_TRUE(unflushed.empty()) << run << ": not flushed before line " << i << " ("
                                           << call << "): " << *unflushed.begin();
            const auto join = [](const std::string& folder, const std::string& name) {
                return name.starts_with("/") ? name : folder + "/" + name;
            };
            const bool at = m.size() > 4;
            const std::string from = at ? join(m[1], m[2]) : std::string(m[1]);
            const std::string to = at ? join(m[3], m[4]) : std::string(m[2]);
            if (!to.ends_with(".gone")) {
                folders.emplace_back(parent(to), i);
                if (at && m[5].matched) {
                    folders.emplace_back(parent(from), i);
                }
            }
        }
    }
    EXPECT_GT(renames, 3) << run << ": the trace holds too few renames to tell anything";
    for (const auto& [folder, line] : folders) {
        ADD_FAILURE() << run << ": " << folder << " not flushed after the rename on line " << line;
    }
}

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
    EXPECT_EQ(err, "dittoly-ua-cli: Example Notes: unchanged\ndittoly-ua-cli: Vendor Café: no "
                   "Settings folder to back up\n");
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
// say what it may be, help that fails, and a question on stdout (where `> file` hides it);
// an option named otherwise than typed, an option the command does not take that is
// ignored (reset --keep 3 deletes all the same), "not both" said when none was given.
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
             {"backup", "backup: no apps given: name them, or give --all"},
             {"backup --all Example.Notes_abc", "not both"},
             {"frob", ""},
             {"list --dry-run", "list does not take --dry-run"},
             {"reset --keep 3 Example.Notes_abc", "reset does not take --keep\n"},
             {"backup --from x --all", "backup does not take --from\n"},
             {"forget -q --all", "forget does not take --quiet\n"},
             {"list --bogus=1 -xy", "unknown options '--bogus', '-xy'\n"},
             {"--bogus", "unknown option '--bogus'\n"}}) {
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
    // The window's stop message as it is, then the folder it looked for.
    EXPECT_TRUE(err.starts_with("Windows Store apps data packages could not been detected.\n"));
    EXPECT_TRUE(
        err.ends_with("download\ndittoly-ua-cli: looked for " + profile.packages().string() + "\n"))
        << err;
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
    EXPECT_EQ(err, "dittoly-ua-cli: Example Notes: Backup/Example.Notes_abc/Settings.lock: "
                   "Permission denied\n");
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
        fs::remove_all(profile.program() / "Backup" / "Example.Notes_abc"); // a first backup again
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
    EXPECT_EQ(runs[0]["counts"].toObject(), (QJsonObject{{"apps", 2},
                                                         {"ok", 1},
                                                         {"error", 1},
                                                         {"nothing-to-do", 0},
                                                         {"unchanged", 0},
                                                         {"not-started", 0}}));
    const QJsonArray apps = runs[0]["apps"].toArray();
    EXPECT_EQ(apps[0].toObject(), (QJsonObject{{"package", "Example.Notes_abc"},
                                               {"display", "Example Notes"},
                                               {"result", "ok"},
                                               {"files", 2},
                                               {"bytes", 56},
                                               {"linked", 0},
                                               {"copied", 2},
                                               {"kept", QJsonArray()},
                                               {"removed", QJsonArray()}}));
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
    ASSERT_EQ(Cli("backup --all"), 0);         // Backup/ and its logs are there to be written to
    WriteText(mine / "Settings" / "new", "x"); // and a backup would find something to copy
    const auto before = TreeFingerprint(profile.base().path());
    for (const std::string& args : std::vector<std::string>{
             "backup --all -n", "hard-reset --dry-run '" + name + "'", "restore --all -n --json"}) {
        EXPECT_EQ(Cli(args), 0) << args;
        EXPECT_EQ(TreeFingerprint(profile.base().path()), before) << args;
    }
    for (const std::string keep : {"", "--keep 0 "}) {
        EXPECT_EQ(Cli("backup -n " + keep + "'" + name + "'"), 0) << keep;
        EXPECT_NE(
            out.find(keep.empty() ? "), which moves to History as " : "), which is removed\n"),
            std::string::npos)
            << out;
    }
    EXPECT_EQ(Cli("backup -n --json '" + name + "'"), 0);
    const QJsonObject plan =
        QJsonDocument::fromJson(QByteArray::fromStdString(out)).object()["apps"][0].toObject();
    EXPECT_EQ(plan["package"].toString().toStdString(), name) << out;
    EXPECT_EQ(plan["bytes"].toInt(), 39); // what the copy would carry
    EXPECT_EQ(Cli("hard-reset --yes --json '" + name + "'"), 0);
    EXPECT_FALSE(fs::exists(mine));
    EXPECT_TRUE(fs::exists(twin / "Settings" / "settings.dat"));
}

// Catches: an interrupt that kills the copy and leaves its staging folder or a cut backup
// behind, or ends without saying where it stopped and with another status than 130; JSON
// that counts the apps not started without naming them, or reports files copied by the
// copy it threw away. The interrupt comes as the copy starts on its first file (strace
// delivers it there), so it lands inside the copy however fast the machine is.
TEST_F(CliTest, AnInterruptStopsTheCopyAndLeavesThePreviousBackupWhole) {
    const fs::path settings = profile.AddPackage("Example.Notes_abc") / "Settings";
    profile.AddPackage("Zeta.App_z");
    ASSERT_EQ(Cli("backup --all"), 0);
    const fs::path backup = profile.program() / "Backup" / "Example.Notes_abc";
    const std::string before = TreeFingerprint(backup);
    for (int i = 0; i < 4; ++i) {
        WriteText(settings / ("more-" + std::to_string(i)), "more");
    }
    // LeakSanitizer cannot work under ptrace: the sanitizer build's leak check is off here.
    EXPECT_EQ(Cli("backup --all --json",
                  "ASAN_OPTIONS=\"$ASAN_OPTIONS:detect_leaks=0\" strace -f -qq "
                  "-o /dev/null -e trace=copy_file_range "
                  "-e inject=copy_file_range:signal=INT:when=1"),
              130)
        << err;
    EXPECT_EQ(TreeFingerprint(backup), before); // no staging folder, no History entry
    EXPECT_EQ(err, "dittoly-ua-cli: Example Notes: interrupted\ndittoly-ua-cli: interrupted in "
                   "Example Notes, which was left as it was; 1 app not started\n");
    EXPECT_TRUE(std::regex_search(ReadText(profile.program() / "Backup" / "Dittoly UA.txt"),
                                  std::regex("Example Notes .*<Error>\r\n")));
    const QJsonObject run = QJsonDocument::fromJson(QByteArray::fromStdString(out)).object();
    EXPECT_EQ(run["not-started"].toArray(),
              QJsonArray({QJsonObject{{"package", "Zeta.App_z"}, {"display", "Zeta App"}}}))
        << out;
    const QJsonObject stopped = run["apps"][0].toObject();
    EXPECT_EQ(stopped["reason"], "interrupted");
    for (const char* none : {"files", "bytes", "linked", "copied"}) {
        EXPECT_EQ(stopped[none].toInt(-1), 0) << none << ": " << out;
    }
    EXPECT_NE(ReadText(backup.parent_path() / "Dittoly UA history.txt")
                  .find("<Error>\r\n    why: interrupted\r\n"),
              std::string::npos); // and why, the morning after
}

// Catches: two runs of one app at once that lose a backup, leave a hidden copy or a log
// without one run's lines, or fail without naming the run they met; --wait that does not
// wait for the other run.
TEST_F(CliTest, TwoRunsOfOneAppAtOnceEndWholeOrSayWhichRunTheyMet) {
    const fs::path settings = profile.AddPackage("Example.Notes_abc") / "Settings";
    ASSERT_EQ(Cli("backup --all"), 0);
    const fs::path backup = profile.program() / "Backup" / "Example.Notes_abc";
    int ran = 1;
    for (int round = 0; round < 6; ++round) {
        WriteText(settings / "round", std::to_string(round));
        const std::string both = "(" + Line("backup --all") + ".1 2>&1; echo $? >>'" +
                                 OutFile().string() + ".status') & (" + Line("backup --all") +
                                 ".2 2>&1; echo $? >>'" + OutFile().string() + ".status'); wait";
        ASSERT_EQ(std::system(both.c_str()), 0);
        for (const char* one : {".1", ".2"}) {
            const std::string told = ReadText(OutFile().string() + one);
            ran += told.find("in use by another run (") == std::string::npos &&
                   told.find(": unchanged") == std::string::npos;
            EXPECT_TRUE(told.find("<OK>") != std::string::npos ||
                        told.find("in use by another run (") != std::string::npos)
                << told;
        }
        const std::string statuses = ReadText(OutFile().string() + ".status");
        fs::remove(OutFile().string() + ".status");
        EXPECT_TRUE(statuses == "0\n0\n" || statuses == "0\n1\n" || statuses == "1\n0\n")
            << statuses;
    }
    for (const auto& entry : fs::recursive_directory_iterator(backup)) {
        EXPECT_EQ(entry.path().filename().string().find("dittoly"), std::string::npos)
            << entry.path();
    }
    // Every run that went ahead is in the history log, and in History or the latest backup.
    std::string log = ReadText(profile.program() / "Backup" / "Dittoly UA history.txt");
    std::size_t runs = 0;
    for (std::size_t at = 0; (at = log.find("Backup process", at + 1)) != std::string::npos;) {
        ++runs;
    }
    EXPECT_EQ(runs, 13u);
    EXPECT_EQ(operations::history::List(profile.roots(), "Example.Notes_abc").size() + 1,
              static_cast<std::size_t>(std::min(ran, 11)));

    platform::FileLock held;
    std::string holder;
    ASSERT_EQ(
        operations::history::LockApp(profile.roots(), "Example.Notes_abc", 0, 0, held, holder), 0);
    WriteText(settings / "round", "waited");
    EXPECT_EQ(Cli("backup --all"), 1);
    EXPECT_NE(err.find("Example Notes: in use by another run (" + platform::ThisProcess()),
              std::string::npos)
        << err;
    std::thread later([&] {
        ::usleep(300 * 1000);
        held.Release();
    });
    EXPECT_EQ(Cli("backup --all --wait 60"), 0) << err;
    later.join();

    // The history log: a run waits its turn at it, and changes it only then.
    const fs::path history = profile.program() / "Backup" / "Dittoly UA history.txt";
    ASSERT_EQ(
        platform::LockFile({profile.program().string(), {"Backup", "Dittoly UA history.lock"}},
                           "test", 0, held, holder),
        0);
    const std::string kept = ReadText(history);
    WriteText(settings / "round", "turn");
    auto turn = std::async(std::launch::async, [&] { return Cli("backup --all"); });
    EXPECT_EQ(turn.wait_for(std::chrono::seconds(1)), std::future_status::timeout);
    EXPECT_EQ(ReadText(history), kept);
    held.Release();
    EXPECT_EQ(turn.get(), 0);
    EXPECT_GT(ReadText(history).size(), kept.size());
}

// Catches: a dry run that does not name the entries the run then removes, a run's JSON
// without the ids it added and removed, an unchanged backup that copies or says nothing,
// and forget that removes other entries than its policy names.
TEST_F(CliTest, DryRunsRunsAndForgetNameTheHistoryEntriesTheyAddAndRemove) {
    const fs::path settings = profile.AddPackage("Example.Notes_abc") / "Settings";
    for (int i = 0; i < 5; ++i) {
        WriteText(settings / "n", std::to_string(i));
        ASSERT_EQ(Cli("backup --all"), 0);
    }
    const auto ids = [&](const char* key) {
        const QJsonObject run = QJsonDocument::fromJson(QByteArray::fromStdString(out)).object();
        return run["apps"][0][key].toArray();
    };
    ASSERT_EQ(Cli("backup --all --json"), 0);
    EXPECT_EQ(QJsonDocument::fromJson(QByteArray::fromStdString(out))["apps"][0]["result"],
              "unchanged");
    EXPECT_EQ(Cli("backup --all"), 0);
    EXPECT_EQ(err, "dittoly-ua-cli: Example Notes: unchanged\n");
    WriteText(settings / "n", "last");
    ASSERT_EQ(Cli("backup --all -n --keep 1 --json"), 0);
    const QJsonArray planned = ids("removed");
    const QJsonArray added = ids("kept");
    EXPECT_EQ(planned.size(), 4); // the replaced backup becomes the one entry kept
    ASSERT_EQ(Cli("backup --all --keep 1 --json"), 0);
    EXPECT_EQ(ids("removed"), planned);
    EXPECT_EQ(ids("kept"), added);
    ASSERT_EQ(Cli("forget --dry-run --keep 0 'example notes'"), 0);
    EXPECT_EQ(out, "Example Notes: would remove " + added[0].toString().toStdString() + "\n");
    ASSERT_EQ(Cli("forget --keep 0 --all --json"), 0);
    EXPECT_EQ(ids("removed"), added);
    EXPECT_TRUE(operations::history::List(profile.roots(), "Example.Notes_abc").empty());
}

// Catches: a publishing rename made before what it publishes is on the disk, or not made
// durable itself: every rename that puts a file or folder in place in a Backup or a
// Restore comes after a flush that covers it, and is followed by a flush of its folder.
TEST_F(CliTest, EveryRenameThatPublishesIsFlushedBeforeAndAfter) {
    const fs::path settings = profile.AddPackage("Example.Notes_abc") / "Settings";
    ASSERT_EQ(Cli("backup --all"), 0);
    WriteText(settings / "more", "more");
    const std::string trace = OutFile().string() + ".trace";
    for (const char* run : {"backup --all", "restore --yes --all"}) {
        ASSERT_EQ(Cli(run, "ASAN_OPTIONS=\"$ASAN_OPTIONS:detect_leaks=0\" strace -f -qq -y -o '" +
                               trace +
                               "' -s 4096 -e trace=rename,renameat,renameat2,fsync,"
                               "fdatasync,syncfs,write,pwrite64,copy_file_range"),
                  0)
            << err;
        std::vector<std::string> calls;
        std::istringstream lines(ReadText(trace));
        for (std::string line; std::getline(lines, line);) {
            calls.push_back(line);
        }
        CheckFlushedAroundRenames(calls, run);
    }
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
