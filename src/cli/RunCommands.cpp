// The runs: backup, restore, reset, hard-reset and clear-cache. Each checks its arguments
// and asks its question before anything is touched, then hands the apps to the core's run
// frame and tells how it went: the status lines on stdout (or JSON), the reasons on stderr,
// and an exit status a script can act on.
#include "cli/CliHost.h"
#include "cli/Commands.h"
#include "cli/Console.h"
#include "cli/DryRun.h"
#include "cli/HistoryLog.h"
#include "cli/Names.h"
#include "cli/Streams.h"
#include "locale/LocaleClock.h"
#include "operations/History.h"
#include "operations/StatusText.h"
#include "platform/Platform.h"

#include <QJsonArray>
#include <QJsonObject>
#include <algorithm>

namespace cli {

namespace {

using operations::Operation;
namespace history = operations::history;

// A command line starts no desktop programs; only the store-cache tool could be asked
// for, and no command here does.
class NoLauncher : public services::Launcher {
public:
    void OpenUrl(const std::string&) override {}
    void OpenFolder(const std::string&) override {}
    bool StartStoreCacheReset() override { return platform::StartStoreCacheReset(); }
};

// Two names that Windows takes for one: equal ignoring case by simple case folding. A
// name that is not valid UTF-8 only ever equals itself.
bool SameName(const std::string& a, const std::string& b) {
    return a == b || (cli::IsUtf8(a) && cli::IsUtf8(b) &&
                      QString::compare(QString::fromStdString(a), QString::fromStdString(b),
                                       Qt::CaseInsensitive) == 0);
}

} // namespace

// The apps the arguments name, in list order. A package folder name given exactly names
// that app; otherwise the one app whose package or display name matches ignoring case.
std::optional<std::vector<operations::App>> Choose(std::vector<operations::App> candidates,
                                                   const QStringList& names, std::string& error,
                                                   const std::vector<modApps::Skipped>& leftOut) {
    std::vector<bool> chosen(candidates.size(), false);
    for (const QString& argument : names) {
        const std::string given = argument.toStdString();
        const std::optional<std::string> name = cli::UnescapeName(given);
        std::vector<std::size_t> hits;
        for (std::size_t i = 0; name && i < candidates.size(); ++i) {
            if (candidates[i].package == *name) {
                hits = {i};
                break;
            }
            if (SameName(candidates[i].package, *name) || SameName(candidates[i].display, *name)) {
                hits.push_back(i);
            }
        }
        const auto skipped = std::find_if(leftOut.begin(), leftOut.end(), [&](const auto& entry) {
            return name && (SameName(entry.name, *name) ||
                            SameName(modApps::PackageDisplayName(entry.name), *name));
        });
        if (hits.empty() && skipped != leftOut.end()) {
            error = "cannot work on '" + given + "': " + LeftOutReason(skipped->why);
            return std::nullopt;
        }
        if (hits.empty()) {
            error = "unknown app '" + given + "' (run 'dittoly-ua-cli list' to see the apps)";
            return std::nullopt;
        }
        if (hits.size() > 1) {
            error = "ambiguous app name '" + given + "': it may be";
            for (const std::size_t hit : hits) {
                error +=
                    (hit == hits.front() ? " " : ", ") + cli::EscapeName(candidates[hit].package);
            }
            error += " (name one by its package name)";
            return std::nullopt;
        }
        chosen[hits.front()] = true;
    }
    std::vector<operations::App> apps;
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        if (chosen[i]) {
            apps.push_back(std::move(candidates[i]));
        }
    }
    return apps;
}

namespace {

// What a restore of `app` would put back, in the words of backups: the History entry
// --from names, or the latest backup and when it was made.
std::string RestoredFrom(const operations::App& app, const modGlobal::Roots& roots,
                         const operations::RunOptions& options) {
    if (!options.restoreFrom.empty()) {
        return "History entry " + options.restoreFrom;
    }
    const history::Latest latest = history::LatestBackup(roots, app.package);
    return !latest.exists ? "no backup: nothing to restore"
           : latest.time  ? "its backup of " + history::IsoTime(*latest.time)
                          : "its latest backup (made at an unknown time)";
}

// The window's question, asked on the terminal (on stderr: stdout carries only the status
// lines or the JSON). The window's question says "selected apps": here nobody selected
// them on screen, so the apps (and for a restore the backup each gets) come first, as
// many as fit a 24-line terminal beside the longest question, then a count of the rest.
// Yes only on an explicit "y" or "yes".
bool Confirm(Operation op, const std::vector<operations::App>& apps, const modGlobal::Roots& roots,
             const operations::RunOptions& options) {
    constexpr std::size_t kShown = 12;
    std::string text =
        std::string(operations::TextsOf(op).caption) + "\n" +
        (apps.size() == 1 ? std::string("It works on this app:\n")
                          : "It works on these " + Counted(apps.size(), "app") + ":\n");
    const std::size_t shown = apps.size() <= kShown ? apps.size() : kShown - 1;
    for (std::size_t i = 0; i < shown; ++i) {
        text += "  " + EscapeName(apps[i].display) + " (" + EscapeName(apps[i].package) + ")" +
                (op == Operation::Restore ? ": " + RestoredFrom(apps[i], roots, options) : "") +
                '\n';
    }
    if (shown < apps.size()) {
        text += "  and " + Counted(apps.size() - shown, "more app") + '\n';
    }
    Err(text + TerminalText(operations::Prompt(op, static_cast<int>(apps.size()), roots)) +
        "\n[y/N] ");
    const std::string answer = console::ReadLine().value_or("");
    const std::string word = QString::fromStdString(answer).trimmed().toLower().toStdString();
    return word == "y" || word == "yes";
}

// Every app's outcome that is not a plain success, with its reason, for whoever reads
// stderr (the status lines keep their own texts); `quiet` tells failures only.
void TellReasons(const std::vector<operations::App>& apps, const operations::RunResult& result,
                 const modGlobal::Roots& roots, bool quiet, bool historySaved) {
    for (std::size_t i = 0; i < result.outcomes.size(); ++i) {
        const auto& outcome = result.outcomes[i];
        if (outcome.result == operations::AppResult::Error ||
            (outcome.result != operations::AppResult::Ok && !quiet)) {
            Err("dittoly-ua-cli: " + apps[i].display + ": " + outcome.reason + '\n');
        }
    }
    if (!result.logSaved) {
        Err("dittoly-ua-cli: the log could not be saved in " + roots.BackupDir() + ": " +
            result.logReason + '\n');
    }
    if (!historySaved) {
        Err("dittoly-ua-cli: the run could not be added to " + roots.BackupDir() +
            cli::kHistoryLogName + '\n');
    }
}

// Which app an interrupt stopped in, or after which one it came, and what was not started.
void TellInterrupt(const std::vector<operations::App>& apps, const operations::RunResult& result,
                   const std::string& reason) {
    std::string text = "dittoly-ua-cli: interrupted";
    const std::size_t done = result.outcomes.size();
    if (done > 0) {
        const bool stopped = result.outcomes.back().result == operations::AppResult::Error &&
                             result.outcomes.back().reason == reason;
        text += (stopped ? " in " : " after ") + apps[done - 1].display +
                (stopped ? ", which was left as it was" : "");
    } else {
        text += " before the first app";
    }
    if (done < apps.size()) {
        text += "; " + Counted(apps.size() - done, "app") + " not started";
    }
    Err(text + '\n');
}

const char* ResultWord(operations::AppResult result) {
    switch (result) {
    case operations::AppResult::Ok:
        return "ok";
    case operations::AppResult::Error:
        return "error";
    case operations::AppResult::Unchanged:
        return "unchanged";
    default:
        return "nothing-to-do";
    }
}

// The run for scripts: what was done, to which app, with which result, in words that do
// not change with the user's language or regional formats.
QJsonObject RunJson(const Command& command, const std::vector<operations::App>& apps,
                    const operations::RunResult& result, const std::string& start,
                    const std::string& end, bool historySaved) {
    const bool copies = command.op == Operation::Backup || command.op == Operation::Restore;
    QJsonArray list;
    int counts[4] = {};
    for (std::size_t i = 0; i < result.outcomes.size(); ++i) {
        const auto& outcome = result.outcomes[i];
        ++counts[static_cast<int>(outcome.result)];
        QJsonObject app{{"package", cli::NameText(apps[i].package)},
                        {"display", cli::NameText(apps[i].display)},
                        {"result", ResultWord(outcome.result)}};
        if (!outcome.reason.empty()) {
            app["reason"] = QString::fromStdString(outcome.reason);
        }
        if (copies) {
            app["files"] = static_cast<qint64>(outcome.copied.files);
            app["bytes"] = static_cast<qint64>(outcome.copied.bytes);
            app["linked"] = static_cast<qint64>(outcome.linked);
            app["copied"] = static_cast<qint64>(outcome.written);
            app["kept"] = Ids(outcome.added);
            app["removed"] = Ids(outcome.removed);
        }
        list.append(app);
    }
    QJsonArray notStarted;
    for (std::size_t i = result.outcomes.size(); i < apps.size(); ++i) {
        notStarted.append(QJsonObject{{"package", cli::NameText(apps[i].package)},
                                      {"display", cli::NameText(apps[i].display)}});
    }
    return QJsonObject{
        {"operation", command.name},
        {"start", QString::fromStdString(start)},
        {"end", QString::fromStdString(end)},
        {"dry-run", false},
        {"interrupted", cli::Interrupted()},
        {"log-saved", result.logSaved && historySaved},
        {"counts",
         QJsonObject{
             {"apps", static_cast<int>(apps.size())},
             {"ok", counts[static_cast<int>(operations::AppResult::Ok)]},
             {"error", counts[static_cast<int>(operations::AppResult::Error)]},
             {"nothing-to-do", counts[static_cast<int>(operations::AppResult::NothingToDo)]},
             {"unchanged", counts[static_cast<int>(operations::AppResult::Unchanged)]},
             {"not-started", static_cast<int>(apps.size() - result.outcomes.size())}}},
        {"apps", list},
        {"not-started", notStarted}};
}

// Where the run writes (Backup/, or the program folder a first Backup creates it in),
// tried before the first app: a folder that cannot be written would fail every app.
int CheckWritable(Operation op, const modGlobal::Roots& roots) {
    const bool hasBackup = modGlobal::FolderExists(roots.BackupDir());
    if (!hasBackup && op != Operation::Backup) {
        return kOk; // nothing of ours to write: no log without Backup/
    }
    const std::string folder = hasBackup ? roots.BackupDir() : roots.programFolder;
    if (const int error = platform::CheckWritable(folder); error != 0) {
        Err("dittoly-ua-cli: cannot write in " + folder + ": " + platform::ErrorText(error) +
            "; nothing was changed\n");
        return kFailed;
    }
    return kOk;
}

} // namespace

QJsonArray Ids(const std::vector<std::string>& ids) {
    QJsonArray array;
    for (const std::string& id : ids) {
        array.append(QString::fromStdString(id));
    }
    return array;
}

std::optional<operations::RunOptions> OptionsFrom(const QCommandLineParser& parser,
                                                  std::string& error) {
    const auto count = [&](const char* option, int& into) {
        if (!parser.isSet(option)) {
            return true;
        }
        bool ok = false;
        into = parser.value(option).toInt(&ok);
        if (!ok || into < 0) {
            error = std::string("--") + option + " takes a whole number, 0 or more";
            return false;
        }
        return true;
    };
    operations::RunOptions options;
    history::Policy& policy = options.policy;
    const bool rules = parser.isSet("keep-last") || parser.isSet("keep-daily") ||
                       parser.isSet("keep-weekly") || parser.isSet("keep-monthly");
    if (rules && parser.isSet("keep")) {
        error = "--keep is the newest N alone: give it or the --keep-... rules, not both";
        return std::nullopt;
    }
    if (rules) {
        // The rules given, and no other (entries made before a restore keep their own).
        policy = {0, 0, 0, 0, policy.beforeRestore};
    }
    int keep = 0;
    int wait = 0;
    if (!count("keep", keep) || !count("keep-last", policy.last) ||
        !count("keep-daily", policy.daily) || !count("keep-weekly", policy.weekly) ||
        !count("keep-monthly", policy.monthly) || !count("wait", wait)) {
        return std::nullopt;
    }
    if (parser.isSet("keep")) {
        policy = history::Policy::Newest(keep);
    }
    options.waitMs = std::min(wait, 24 * 3600) * 1000;
    return options;
}

int RunCommand(const Command& command, QCommandLineParser& parser) {
    const QStringList names = parser.positionalArguments().mid(1);
    const bool all = parser.isSet("all");
    if (const std::string wrong = AppsOrAll(command.name, names, all); !wrong.empty()) {
        return Usage(wrong);
    }
    std::string error;
    auto chosen = OptionsFrom(parser, error);
    if (!chosen) {
        return Usage(error);
    }
    operations::RunOptions options = *chosen;
    options.restoreFrom = parser.value("from").toStdString();
    if (parser.isSet("from") && all) {
        return Usage("--from goes with the apps restore names, not with --all");
    }
    const modGlobal::Roots roots = modGlobal::Roots::FromSystem();
    if (!HasPackagesRoot(roots)) {
        return kFailed;
    }
    // A restore may also name an app that is not installed now but has a backup.
    std::vector<modApps::Skipped> leftOut;
    auto apps = all ? std::optional(DetectedApps(roots, &leftOut))
                    : Choose(command.op == Operation::Restore ? AppsWithBackups(roots, &leftOut)
                                                              : DetectedApps(roots, &leftOut),
                             names, error, leftOut);
    if (!apps) {
        return Usage(error);
    }
    if (all) {
        TellLeftOut(leftOut);
    }
    for (const auto& app : parser.isSet("from") ? *apps : std::vector<operations::App>{}) {
        const auto entries = history::List(roots, app.package);
        if (std::none_of(entries.begin(), entries.end(),
                         [&](const auto& entry) { return entry.id == options.restoreFrom; })) {
            return Usage(app.display + " has no History entry '" + options.restoreFrom +
                         "' (see: dittoly-ua-cli backups)");
        }
    }
    const bool json = parser.isSet("json");
    if (parser.isSet("dry-run")) {
        cli::DryRun(command.op, command.name, *apps, roots, options, json);
        return kOk;
    }
    if (command.asks && !parser.isSet("yes")) {
        if (!cli::InputIsTerminal()) {
            return Usage(std::string(command.name) +
                             " changes app data: answer its question on a terminal or give --yes",
                         false);
        }
        if (!Confirm(command.op, *apps, roots, options)) {
            Err("Nothing was changed.\n");
            return kFailed;
        }
    }
    if (const int status = CheckWritable(command.op, roots); status != kOk) {
        return status;
    }
    const bool quiet = parser.isSet("quiet");
    regional::LocaleClock clock;
    NoLauncher launcher;
    cli::CliHost host(command.op, *apps, !json && !quiet, !quiet && cli::ErrorIsTerminal());
    const std::string start = history::IsoTime(clock.UtcNow());
    cli::CatchInterrupts();
    const auto result = operations::Run(command.op, *apps, roots, clock, launcher, host, options);
    const bool historySaved = cli::AppendToHistoryLog(roots, result);
    TellReasons(*apps, result, roots, quiet, historySaved);
    if (cli::Interrupted()) {
        TellInterrupt(*apps, result, host.StopReason());
    }
    if (json) {
        Out(Json(RunJson(command, *apps, result, start, history::IsoTime(clock.UtcNow()),
                         historySaved)));
    }
    cli::RunDone();
    const bool failed =
        !result.logSaved || !historySaved ||
        std::any_of(result.outcomes.begin(), result.outcomes.end(), [](const auto& outcome) {
            return outcome.result == operations::AppResult::Error;
        });
    return cli::Interrupted() ? kInterrupted : failed ? kFailed : kOk;
}

} // namespace cli
