// dittoly-ua-cli: the operations without a window, for scheduled backups and scripts.
// It prints the same status lines the window shows and saves the same log, from the same
// folders: the program folder it sits in and the user's profile.
//
// Exit status: 0 when every app was done or had nothing to do (a backup of an app that
// keeps no Settings) and the log was saved, 1 when anything else failed (or the run could
// not start), 2 for a usage error, which changes nothing.
#include "catalogue/modApps.h"
#include "cli/Console.h"
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
#include <cstdio>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

namespace {

using operations::Operation;
namespace history = operations::history;

constexpr int kOk = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;

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
    std::cerr << "dittoly-ua-cli: " << what << '\n';
    if (hint) {
        std::cerr << "Try 'dittoly-ua-cli --help'.\n";
    }
    return kUsage;
}

// Lines go out as the run writes them, so a long run shows its progress.
class PrintingHost : public operations::RunHost {
public:
    void AddLine(const std::string& line, bool) override {
        std::cout << line << '\n' << std::flush;
    }
};

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

int List(const std::vector<operations::App>& apps, bool json) {
    if (!json) {
        for (const auto& app : apps) {
            std::cout << app.display << '\t' << app.package << '\n';
        }
        return kOk;
    }
    QJsonArray array;
    for (const auto& app : apps) {
        array.append(QJsonObject{{"display", QString::fromStdString(app.display)},
                                 {"package", QString::fromStdString(app.package)}});
    }
    std::cout << QJsonDocument(array).toJson(QJsonDocument::Indented).toStdString();
    return kOk;
}

// The apps the arguments name, in list order. A package folder name matches exactly; a
// display name matches ignoring case when no other app shows the same name. A restore
// may also name an app that is not installed now but has a backup.
std::optional<std::vector<operations::App>> Choose(std::vector<operations::App> detected,
                                                   const QStringList& names, Operation op,
                                                   const modGlobal::Roots& roots,
                                                   std::string& error) {
    std::vector<bool> chosen(detected.size(), false);
    for (const QString& argument : names) {
        const std::string name = argument.toStdString();
        std::vector<std::size_t> hits;
        for (std::size_t i = 0; i < detected.size(); ++i) {
            if (detected[i].package == name) {
                hits = {i};
                break;
            }
            if (modGlobal::EqualIgnoringCase(detected[i].display, name)) {
                hits.push_back(i);
            }
        }
        if (hits.empty() && op == Operation::Restore && operations::IsPlainFolderName(name) &&
            platform::StateOf(roots.BackupDir() + name) == platform::PathState::Folder) {
            detected.push_back({name, modApps::PackageDisplayName(name)});
            chosen.push_back(false);
            hits = {detected.size() - 1};
        }
        if (hits.size() != 1) {
            error = (hits.empty() ? "unknown app '" : "ambiguous app name '") + name + "'";
            return std::nullopt;
        }
        chosen[hits.front()] = true;
    }
    std::vector<operations::App> apps;
    for (std::size_t i = 0; i < detected.size(); ++i) {
        if (chosen[i]) {
            apps.push_back(std::move(detected[i]));
        }
    }
    // Apps added for a restore sort in among the others, as in the window's list.
    std::stable_sort(apps.begin(), apps.end(), [](const auto& a, const auto& b) {
        return modGlobal::LessIgnoringCase(a.package, b.package);
    });
    return apps;
}

// The window's question, asked on the terminal (on stderr: stdout carries only the status
// lines). Yes only on an explicit "y" or "yes".
bool Confirm(Operation op, int count, const modGlobal::Roots& roots, const std::string& title) {
    std::cerr << title << "\n"
              << TerminalText(operations::Prompt(op, count, roots)) << "\n[y/N] " << std::flush;
    const std::string answer = console::ReadLine().value_or("");
    const std::string word = QString::fromStdString(answer).trimmed().toLower().toStdString();
    return word == "y" || word == "yes";
}

// Every app's outcome that is not a plain success, with its reason, for whoever reads
// stderr (the status lines keep their own texts).
void TellReasons(const std::vector<operations::App>& apps, const operations::RunResult& result,
                 const modGlobal::Roots& roots) {
    for (std::size_t i = 0; i < result.outcomes.size(); ++i) {
        if (result.outcomes[i].result != operations::AppResult::Ok) {
            std::cerr << "dittoly-ua-cli: " << apps[i].display << ": " << result.outcomes[i].reason
                      << '\n';
        }
    }
    if (!result.logSaved) {
        std::cerr << "dittoly-ua-cli: the log could not be saved in " << roots.BackupDir() << '\n';
    }
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
        std::cerr << "dittoly-ua-cli: cannot write in " << folder << ": "
                  << platform::ErrorText(error) << "; nothing was changed\n";
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
    if (!modGlobal::FolderExists(roots.PackagesRoot())) {
        std::cerr << TerminalText(modGlobal::StopMessage()) << '\n';
        return kFailed;
    }
    std::string error;
    auto apps = all ? std::optional(DetectedApps(roots))
                    : Choose(DetectedApps(roots), names, command.op, roots, error);
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
    if (command.asks && !parser.isSet("yes")) {
        if (!console::InputIsTerminal()) {
            return Usage(std::string(command.name) +
                             " changes app data: answer its question on a terminal or give --yes",
                         false);
        }
        if (!Confirm(command.op, static_cast<int>(apps->size()), roots,
                     operations::TextsOf(command.op).caption)) {
            std::cerr << "Nothing was changed.\n";
            return kFailed;
        }
    }
    if (const int status = CheckWritable(command.op, roots); status != kOk) {
        return status;
    }
    regional::LocaleClock clock;
    NoLauncher launcher;
    PrintingHost host;
    const auto result = operations::Run(command.op, *apps, roots, clock, launcher, host, options);
    TellReasons(*apps, result, roots);
    const bool failed =
        !result.logSaved || std::any_of(result.outcomes.begin(), result.outcomes.end(),
                                        [](const operations::AppOutcome& outcome) {
                                            return outcome.result == operations::AppResult::Error;
                                        });
    return failed ? kFailed : kOk;
}

// The latest backup and the History of each app, newest first.
int Backups(const QStringList& names, bool json) {
    const modGlobal::Roots roots = modGlobal::Roots::FromSystem();
    std::string error;
    auto apps = names.isEmpty()
                    ? std::optional(AppsWithBackups(roots))
                    : Choose(AppsWithBackups(roots), names, Operation::Backup, roots, error);
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
        array.append(QJsonObject{{"package", QString::fromStdString(app.package)},
                                 {"display", QString::fromStdString(app.display)},
                                 {"latest", latest},
                                 {"history", entries}});
    }
    if (json) {
        std::cout << QJsonDocument(array).toJson(QJsonDocument::Indented).toStdString();
        return kOk;
    }
    // One block per app: its names, then a row per backup, tab-separated for scripts.
    for (const auto& value : array) {
        const QJsonObject app = value.toObject();
        const auto row = [](const QString& id, const QString& kind, const QJsonObject& facts) {
            std::cout << "  " << id.toStdString() << '\t' << kind.toStdString() << '\t'
                      << facts["time"].toString().toStdString() << '\t'
                      << facts["files"].toInteger() << " files\t" << facts["bytes"].toInteger()
                      << " bytes\n";
        };
        std::cout << app["display"].toString().toStdString() << '\t'
                  << app["package"].toString().toStdString() << '\n';
        if (app["latest"].isObject()) {
            row("latest", "backup", app["latest"].toObject());
        } else {
            std::cout << "  no backup\n";
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
        "scheduled runs. Apps are named by package folder name or by display name.\n\n"
        "Commands:\n"
        "  list                    the detected apps: display name, tab, package name\n"
        "  backup APP...|--all     copy each app's Settings into Backup/<package>\n"
        "  restore APP...|--all    copy the backup back into the app's folder\n"
        "  reset APP...|--all      delete each app's Settings folder\n"
        "  hard-reset APP...|--all delete each app's whole package folder\n"
        "  clear-cache APP...|--all empty each app's LocalCache folder\n"
        "  backups [APP...]        each app's latest backup and its History, newest first\n\n"
        "What a backup or restore replaces is kept in Backup/<package>/History (the newest\n"
        "10 per app; --keep sets how many): restore --from ID APP puts one back.\n\n"
        "Exit status: 0 all done (an app with nothing to do, such as one without\n"
        "Settings to back up, counts as done), 1 something failed, 2 usage error.");
    parser.addPositionalArgument("command", "list, backup, restore, reset, hard-reset, "
                                            "clear-cache or backups");
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    parser.addOption({"all", "Work on every detected app."});
    parser.addOption({"yes", "Answer the question of restore, reset, hard-reset and "
                             "clear-cache with yes."});
    parser.addOption({"json", "list, backups: print JSON."});
    parser.addOption({"keep",
                      "backup, restore: History entries each app keeps (default 10; "
                      "0 keeps none and empties its History).",
                      "N"});
    parser.addOption({"from",
                      "restore: this History entry (an id from backups) instead of "
                      "the latest backup.",
                      "ID"});

    if (!parser.parse(QCoreApplication::arguments())) {
        return Usage(parser.errorText().toStdString());
    }
    if (parser.isSet(help)) {
        std::cout << parser.helpText().toStdString();
        return kOk;
    }
    if (parser.isSet(version)) {
        std::cout << "dittoly-ua-cli " << DITTOLY_VERSION << '\n';
        return kOk;
    }
    const QStringList positional = parser.positionalArguments();
    if (positional.isEmpty()) {
        return Usage("no command given");
    }
    const std::string name = positional.front().toStdString();
    if (name == "list") {
        if (positional.size() > 1 || parser.isSet("all") || parser.isSet("yes") ||
            parser.isSet("keep") || parser.isSet("from")) {
            return Usage("list takes no apps and only --json");
        }
        const modGlobal::Roots roots = modGlobal::Roots::FromSystem();
        return List(DetectedApps(roots), parser.isSet("json"));
    }
    if (name == "backups") {
        if (parser.isSet("all") || parser.isSet("yes") || parser.isSet("keep") ||
            parser.isSet("from")) {
            return Usage("backups takes app names and --json only");
        }
        return Backups(positional.mid(1), parser.isSet("json"));
    }
    for (const Command& command : kCommands) {
        if (name == command.name) {
            if (parser.isSet("json")) {
                return Usage("--json goes with list and backups only");
            }
            return RunCommand(command, parser);
        }
    }
    return Usage("unknown command '" + name + "'");
}
