// dittoly-ua-cli: the operations without a window, for scheduled backups and scripts.
// It prints the same status lines the window shows and saves the same log, from the same
// folders: the program folder it sits in and the user's profile. Data (status lines,
// JSON, help) goes to stdout; questions, progress, reasons and messages go to stderr.
//
// Exit status: 0 when every app was done or had nothing to do (a backup of an app that
// keeps no Settings) and the logs were saved, 1 when anything else failed (or the run
// could not start), 2 for a usage error, which changes nothing, 130 when an interrupt
// ended the run early.
#include "catalogue/modApps.h"
#include "cli/CliHost.h"
#include "cli/Console.h"
#include "cli/DryRun.h"
#include "cli/HistoryLog.h"
#include "cli/Names.h"
#include "cli/Streams.h"
#include "locale/LocaleClock.h"
#include "operations/History.h"
#include "operations/RunFrame.h"
#include "operations/StatusText.h"
#include "platform/Platform.h"
#include "start/CaseCompare.h"
#include "start/modGlobal.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <optional>
#include <string>
#include <vector>

namespace {

using cli::Err;
using cli::Out;
using operations::Operation;
namespace history = operations::history;

constexpr int kOk = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;
constexpr int kInterrupted = 130;

struct Command {
    const char* name;
    Operation op;
    bool asks; // changes or removes what the user has: asked first
};

const Command kCommands[] = {
    {"backup", Operation::Backup, false},
    {"restore", Operation::Restore, true},
    {"reset", Operation::Reset, true},
    {"hard-reset", Operation::HardReset, true},
    {"clear-cache", Operation::ClearAppCache, true},
};

// Each command's own help: how it is called, what it does, one example.
struct Topic {
    const char* name;
    const char* usage;
    const char* what;
    const char* example;
};

const Topic kTopics[] = {
    {"list", "list [--json]",
     "Lists the apps found under <profile>/AppData/Local/Packages: display name, a tab,\n"
     "package name. --json prints an array of {\"display\", \"package\"}.",
     "dittoly-ua-cli list --json"},
    {"backup", "backup APP... | --all  [--keep N] [--dry-run] [--json] [--quiet]",
     "Copies each app's Settings folder, exactly, into Backup/<package>/Settings (only\n"
     "Settings: LocalState and the rest are not backed up). The backup it replaces moves\n"
     "to Backup/<package>/History; each app keeps the newest 10 there (--keep N).\n"
     "An app without Settings counts as nothing to do, not as a failure.",
     "dittoly-ua-cli backup --all --quiet"},
    {"restore",
     "restore [--from ID] APP... | --all  [--yes] [--keep N] [--dry-run] [--json] [--quiet]",
     "Copies the app's backup (with --from, an older one from its History: see backups)\n"
     "back into its package folder, exactly. The Settings folder it replaces moves to the\n"
     "app's History first, so a restore can be undone. Asks first, unless --yes.",
     "dittoly-ua-cli restore --from 2026-12-05T140509Z Contoso.Notes.App_0a1b2c3d4e5f6"},
    {"reset", "reset APP... | --all  [--yes] [--dry-run] [--json] [--quiet]",
     "Deletes each app's Settings folder, so the app starts with its defaults.\n"
     "Asks first, unless --yes.",
     "dittoly-ua-cli reset --yes \"Contoso Notes App\""},
    {"hard-reset", "hard-reset APP... | --all  [--yes] [--dry-run] [--json] [--quiet]",
     "Deletes each app's whole package folder: settings, app data, preferences and\n"
     "sign-in details. Asks first, unless --yes.",
     "dittoly-ua-cli hard-reset --dry-run --all"},
    {"clear-cache", "clear-cache APP... | --all  [--yes] [--dry-run] [--json] [--quiet]",
     "Empties each app's LocalCache folder. Asks first, unless --yes.",
     "dittoly-ua-cli clear-cache --yes --all"},
    {"backups", "backups [APP...] [--json]",
     "Lists each app's latest backup and its History, newest first: id, kind (backup or\n"
     "before-restore), time (UTC), files and bytes. An id goes to restore --from.",
     "dittoly-ua-cli backups --json \"Contoso Notes App\""},
};

std::string TopicHelp(const Topic& topic, const modGlobal::Roots& roots) {
    return std::string("Usage: dittoly-ua-cli ") + topic.usage + "\n\n" + topic.what +
           "\n\nExample:\n  " + topic.example + "\n\nBackups, their History and the logs are in " +
           roots.BackupDir() + "\n";
}

// Texts shared with the window end their lines in CR LF; a terminal wants LF.
std::string TerminalText(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) {
            out += text[i];
        }
    }
    return out;
}

int Usage(const std::string& what, bool hint = true) {
    Err("dittoly-ua-cli: " + what + '\n');
    if (hint) {
        Err("Try 'dittoly-ua-cli --help'.\n");
    }
    return kUsage;
}

// Every command but backups stops where the packages folder is missing, as the window does.
bool HasPackagesRoot(const modGlobal::Roots& roots) {
    if (modGlobal::FolderExists(roots.PackagesRoot())) {
        return true;
    }
    Err(TerminalText(modGlobal::StopMessage()) + '\n');
    return false;
}

// A command line starts no desktop programs; only the store-cache tool could be asked
// for, and no command here does.
class NoLauncher : public services::Launcher {
public:
    void OpenUrl(const std::string&) override {}
    void OpenFolder(const std::string&) override {}
    bool StartStoreCacheReset() override { return platform::StartStoreCacheReset(); }
};

std::vector<operations::App> DetectedApps(const modGlobal::Roots& roots) {
    std::vector<operations::App> apps;
    for (std::string& package : modApps::FindPackages(roots.PackagesRoot())) {
        std::string display = modApps::PackageDisplayName(package);
        apps.push_back({std::move(package), std::move(display)});
    }
    return apps;
}

// The detected apps and those no longer installed that still have a backup or History, in
// the list's order.
std::vector<operations::App> AppsWithBackups(const modGlobal::Roots& roots) {
    std::vector<operations::App> apps = DetectedApps(roots);
    const std::string backup = roots.BackupDir();
    platform::ListFolder(backup, [&](std::string_view entry, platform::EntryKind kind) {
        const std::string name(entry);
        const bool known = std::any_of(apps.begin(), apps.end(),
                                       [&](const auto& app) { return app.package == name; });
        const auto has = [&](const char* inside) {
            return platform::StateOf(backup + name + platform::kSepStr + inside) ==
                   platform::PathState::Folder;
        };
        if (kind == platform::EntryKind::Folder && !known && operations::IsPlainFolderName(name) &&
            (has("Settings") || has("History"))) {
            apps.push_back({name, modApps::PackageDisplayName(name)});
        }
        return true;
    });
    std::stable_sort(apps.begin(), apps.end(), [](const auto& a, const auto& b) {
        return modGlobal::LessIgnoringCase(a.package, b.package);
    });
    return apps;
}

std::string Json(const QJsonValue& value) {
    return (value.isArray() ? QJsonDocument(value.toArray()) : QJsonDocument(value.toObject()))
        .toJson(QJsonDocument::Indented)
        .toStdString();
}

int List(const std::vector<operations::App>& apps, bool json) {
    QJsonArray array;
    for (const auto& app : apps) {
        array.append(QJsonObject{{"display", cli::NameText(app.display)},
                                 {"package", cli::NameText(app.package)}});
        if (!json) {
            Out(cli::EscapeName(app.display) + '\t' + cli::EscapeName(app.package) + '\n');
        }
    }
    if (json) {
        Out(Json(array));
    }
    return kOk;
}

// Two names that Windows takes for one: equal ignoring case by simple case folding. A
// name that is not valid UTF-8 only ever equals itself.
bool SameName(const std::string& a, const std::string& b) {
    return a == b || (cli::IsUtf8(a) && cli::IsUtf8(b) &&
                      QString::compare(QString::fromStdString(a), QString::fromStdString(b),
                                       Qt::CaseInsensitive) == 0);
}

// The apps the arguments name, in list order. A package folder name given exactly names
// that app; otherwise the one app whose package or display name matches ignoring case.
std::optional<std::vector<operations::App>> Choose(std::vector<operations::App> candidates,
                                                   const QStringList& names, std::string& error) {
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

// The window's question, asked on the terminal (on stderr: stdout carries only the status
// lines or the JSON). Yes only on an explicit "y" or "yes".
bool Confirm(Operation op, int count, const modGlobal::Roots& roots, const std::string& title) {
    Err(title + "\n" + TerminalText(operations::Prompt(op, count, roots)) + "\n[y/N] ");
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
            (outcome.result == operations::AppResult::NothingToDo && !quiet)) {
            Err("dittoly-ua-cli: " + apps[i].display + ": " + outcome.reason + '\n');
        }
    }
    if (!result.logSaved) {
        Err("dittoly-ua-cli: the log could not be saved in " + roots.BackupDir() + '\n');
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
        text += "; " + std::to_string(apps.size() - done) + " app(s) not started";
    }
    Err(text + '\n');
}

const char* ResultWord(operations::AppResult result) {
    switch (result) {
    case operations::AppResult::Ok:
        return "ok";
    case operations::AppResult::Error:
        return "error";
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
    int counts[3] = {};
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
        }
        list.append(app);
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
             {"not-started", static_cast<int>(apps.size() - result.outcomes.size())}}},
        {"apps", list}};
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

std::optional<int> KeepCount(const QCommandLineParser& parser) {
    if (!parser.isSet("keep")) {
        return history::kDefaultKeep;
    }
    bool ok = false;
    const int keep = parser.value("keep").toInt(&ok);
    return ok && keep >= 0 ? std::optional(keep) : std::nullopt;
}

int RunCommand(const Command& command, QCommandLineParser& parser) {
    const QStringList names = parser.positionalArguments().mid(1);
    const bool all = parser.isSet("all");
    if (all == !names.isEmpty()) {
        return Usage(std::string(command.name) + ": name the apps or give --all, not both");
    }
    operations::RunOptions options;
    const auto keep = KeepCount(parser);
    if (!keep) {
        return Usage("--keep takes a whole number of History entries, 0 or more");
    }
    options.keep = *keep;
    options.restoreFrom = parser.value("from").toStdString();
    if (parser.isSet("from") && (command.op != Operation::Restore || all)) {
        return Usage("--from goes with restore and the apps it names");
    }
    const modGlobal::Roots roots = modGlobal::Roots::FromSystem();
    if (!HasPackagesRoot(roots)) {
        return kFailed;
    }
    std::string error;
    // A restore may also name an app that is not installed now but has a backup.
    auto apps = all ? std::optional(DetectedApps(roots))
                    : Choose(command.op == Operation::Restore ? AppsWithBackups(roots)
                                                              : DetectedApps(roots),
                             names, error);
    if (!apps) {
        return Usage(error);
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
        if (!Confirm(command.op, static_cast<int>(apps->size()), roots,
                     operations::TextsOf(command.op).caption)) {
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
    const bool historySaved = cli::AppendToHistoryLog(roots, result.lines);
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

// The latest backup and the History of each app, newest first.
int Backups(const QStringList& names, bool json) {
    const modGlobal::Roots roots = modGlobal::Roots::FromSystem();
    std::string error;
    auto apps = names.isEmpty() ? std::optional(AppsWithBackups(roots))
                                : Choose(AppsWithBackups(roots), names, error);
    if (!apps) {
        return Usage(error);
    }
    const auto size = [](const platform::Below& at) {
        platform::TreeSize measured;
        platform::MeasureTree(at, measured);
        return measured;
    };
    QJsonArray array;
    for (const auto& app : *apps) {
        const auto made = history::LatestTime(roots, app.package);
        QJsonValue latest = QJsonValue::Null;
        if (made) {
            const auto measured = size({roots.BackupDir(), {app.package, "Settings"}});
            latest = QJsonObject{{"time", QString::fromStdString(history::IsoTime(*made))},
                                 {"files", static_cast<qint64>(measured.files)},
                                 {"bytes", static_cast<qint64>(measured.bytes)}};
        }
        QJsonArray entries;
        for (const auto& entry : history::List(roots, app.package)) {
            auto folder = history::EntryFolder(roots, app.package, entry.id);
            folder.names.push_back("Settings");
            const auto measured = size(folder);
            entries.append(QJsonObject{
                {"id", QString::fromStdString(entry.id)},
                {"kind", entry.kind == history::Kind::Backup ? "backup" : "before-restore"},
                {"time", QString::fromStdString(history::IsoTime(entry.time))},
                {"files", static_cast<qint64>(measured.files)},
                {"bytes", static_cast<qint64>(measured.bytes)}});
        }
        array.append(QJsonObject{{"package", cli::NameText(app.package)},
                                 {"display", cli::NameText(app.display)},
                                 {"latest", latest},
                                 {"history", entries}});
    }
    if (json) {
        Out(Json(array));
        return kOk;
    }
    // One block per app: its names, then a row per backup, tab-separated for scripts.
    for (const auto& value : array) {
        const QJsonObject app = value.toObject();
        const auto row = [](const QString& id, const QString& kind, const QJsonObject& facts) {
            Out("  " + id.toStdString() + '\t' + kind.toStdString() + '\t' +
                facts["time"].toString().toStdString() + '\t' +
                std::to_string(facts["files"].toInteger()) + " files\t" +
                std::to_string(facts["bytes"].toInteger()) + " bytes\n");
        };
        Out(app["display"].toString().toStdString() + '\t' +
            app["package"].toString().toStdString() + '\n');
        if (app["latest"].isObject()) {
            row("latest", "backup", app["latest"].toObject());
        } else {
            Out("  no backup\n");
        }
        for (const auto& entry : app["history"].toArray()) {
            const QJsonObject facts = entry.toObject();
            row(facts["id"].toString(), facts["kind"].toString(), facts);
        }
    }
    return kOk;
}

} // namespace

int main(int argc, char** argv) {
    const console::TextRoute route;
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("dittoly-ua-cli");
    QCoreApplication::setApplicationVersion(DITTOLY_VERSION);

    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Backs up, restores, resets or cache-clears the data of the apps under\n"
        "<profile>/AppData/Local/Packages, like Dittoly UA's window, for scripts and\n"
        "scheduled runs. Apps are named by package folder name or by display name, ignoring\n"
        "case. Status lines and JSON go to stdout; questions, progress and messages to stderr.\n\n"
        "Commands:\n"
        "  list                    the detected apps: display name, tab, package name\n"
        "  backup APP...|--all     copy each app's Settings into Backup/<package>\n"
        "  restore APP...|--all    copy the backup back into the app's folder\n"
        "  reset APP...|--all      delete each app's Settings folder\n"
        "  hard-reset APP...|--all delete each app's whole package folder\n"
        "  clear-cache APP...|--all empty each app's LocalCache folder\n"
        "  backups [APP...]        each app's latest backup and its History, newest first\n"
        "  help [COMMAND]          this help, or one command's (also: COMMAND --help)\n\n"
        "What a backup or restore replaces is kept in Backup/<package>/History (the newest\n"
        "10 per app; --keep sets how many): restore --from ID APP puts one back. Each run's\n"
        "lines are also added to Backup/Dittoly UA history.txt (about the last 1 MiB).\n\n"
        "Exit status: 0 all done (an app with nothing to do, such as one without\n"
        "Settings to back up, counts as done), 1 something failed, 2 usage error,\n"
        "130 interrupted (Ctrl-C, SIGTERM): the app in progress was left as it was.");
    parser.addPositionalArgument("command", "list, backup, restore, reset, hard-reset, "
                                            "clear-cache, backups or help");
    parser.addOption({{"h", "help"}, "Show this help; after a command, that command's help."});
    parser.addOption({"help-all", "Show this help and every command's help."});
    const QCommandLineOption version = parser.addVersionOption();
    parser.addOption({"all", "Work on every detected app."});
    parser.addOption({"yes", "Answer the question of restore, reset, hard-reset and "
                             "clear-cache with yes."});
    parser.addOption({"json", "Print JSON: the apps (list), the backups (backups), or the "
                              "run and each app's result (the other commands)."});
    parser.addOption({{"n", "dry-run"},
                      "Show what the command would copy or delete, with sizes; change "
                      "nothing."});
    parser.addOption({{"q", "quiet"}, "Print failures only: no status lines, no progress."});
    parser.addOption({"keep",
                      "backup, restore: History entries each app keeps (default 10; "
                      "0 keeps none and empties its History).",
                      "N"});
    parser.addOption({"from",
                      "restore: this History entry (an id from backups) instead of "
                      "the latest backup.",
                      "ID"});

    if (!parser.parse(cli::Arguments(argc, argv))) {
        return Usage(parser.errorText().toStdString());
    }
    if (parser.isSet(version)) {
        Out(std::string("dittoly-ua-cli ") + DITTOLY_VERSION + '\n');
        return kOk;
    }
    const modGlobal::Roots roots = modGlobal::Roots::FromSystem();
    const QStringList positional = parser.positionalArguments();
    const auto topic = [&](const QString& name) -> const Topic* {
        const auto found = std::find_if(std::begin(kTopics), std::end(kTopics),
                                        [&](const Topic& t) { return name == t.name; });
        return found == std::end(kTopics) ? nullptr : found;
    };
    if (parser.isSet("help-all")) {
        std::string text = parser.helpText().toStdString();
        for (const Topic& each : kTopics) {
            text += "\n" + TopicHelp(each, roots);
        }
        Out(text);
        return kOk;
    }
    const bool helpCommand = !positional.isEmpty() && positional.front() == "help";
    if (parser.isSet("help") || helpCommand) {
        const QStringList asked = positional.mid(helpCommand ? 1 : 0);
        if (asked.isEmpty()) {
            Out(parser.helpText().toStdString() + "\nBackups, their History and the logs are in " +
                roots.BackupDir() + "\n");
            return kOk;
        }
        if (const Topic* found = topic(asked.front());
            found && (asked.size() == 1 || !helpCommand)) {
            Out(TopicHelp(*found, roots));
            return kOk;
        }
        return Usage("no help for '" + asked.join(' ').toStdString() + "'");
    }
    if (positional.isEmpty()) {
        return Usage("no command given");
    }
    const std::string name = positional.front().toStdString();
    const bool runOnly = parser.isSet("all") || parser.isSet("yes") || parser.isSet("keep") ||
                         parser.isSet("from") || parser.isSet("dry-run") || parser.isSet("quiet");
    if (name == "list") {
        if (positional.size() > 1 || runOnly) {
            return Usage("list takes no apps and only --json");
        }
        return HasPackagesRoot(roots) ? List(DetectedApps(roots), parser.isSet("json")) : kFailed;
    }
    if (name == "backups") {
        if (runOnly) {
            return Usage("backups takes app names and --json only");
        }
        return Backups(positional.mid(1), parser.isSet("json"));
    }
    for (const Command& command : kCommands) {
        if (name == command.name) {
            return RunCommand(command, parser);
        }
    }
    return Usage("unknown command '" + name + "'");
}
