// dittoly-ua-cli: the operations without a window, for scheduled backups and scripts.
// It prints the same status lines the window shows and saves the same log, from the same
// folders: the program folder it sits in and the user's profile.
//
// Exit status: 0 when every line ended in "<OK>", 1 when any ended in "<Error>" (or the
// run could not start), 2 for a usage error, which changes nothing.
#include "catalogue/modApps.h"
#include "locale/LocaleClock.h"
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

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#define DITTOLY_ISATTY(fd) _isatty(fd)
#else
#include <unistd.h>
#define DITTOLY_ISATTY(fd) ::isatty(fd)
#endif

namespace {

using operations::Operation;

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
            modGlobal::FolderExists(roots.BackupDir() + name)) {
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

// The window's question, asked on the terminal. Yes only on an explicit "y" or "yes".
bool Confirm(Operation op, int count, const modGlobal::Roots& roots, const std::string& title) {
    std::cout << title << "\n"
              << TerminalText(operations::Prompt(op, count, roots)) << "\n[y/N] " << std::flush;
    std::string answer;
    std::getline(std::cin, answer);
    const std::string word = QString::fromStdString(answer).trimmed().toLower().toStdString();
    return word == "y" || word == "yes";
}

int RunCommand(const Command& command, QCommandLineParser& parser) {
    const QStringList names = parser.positionalArguments().mid(1);
    const bool all = parser.isSet("all");
    if (all == !names.isEmpty()) {
        return Usage(std::string(command.name) + ": name the apps or give --all, not both");
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
    if (command.asks && !parser.isSet("yes")) {
        if (!DITTOLY_ISATTY(0)) {
            return Usage(std::string(command.name) +
                             " changes app data: answer its question on a terminal or give --yes",
                         false);
        }
        if (!Confirm(command.op, static_cast<int>(apps->size()), roots,
                     operations::TextsOf(command.op).caption)) {
            std::cout << "Nothing was changed.\n";
            return kFailed;
        }
    }
    regional::LocaleClock clock;
    NoLauncher launcher;
    PrintingHost host;
    const auto result = operations::Run(command.op, *apps, roots, clock, launcher, host);
    return result.failed == 0 ? kOk : kFailed;
}

} // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
    SetConsoleOutputCP(CP_UTF8);
#endif
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
        "  clear-cache APP...|--all empty each app's LocalCache folder\n\n"
        "Exit status: 0 all done, 1 something failed, 2 usage error.");
    parser.addPositionalArgument("command", "list, backup, restore, reset, hard-reset or "
                                            "clear-cache");
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    parser.addOption({"all", "Work on every detected app."});
    parser.addOption({"yes", "Answer the question of restore, reset, hard-reset and "
                             "clear-cache with yes."});
    parser.addOption({"json", "list: print JSON."});

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
        if (positional.size() > 1 || parser.isSet("all") || parser.isSet("yes")) {
            return Usage("list takes no apps and only --json");
        }
        const modGlobal::Roots roots = modGlobal::Roots::FromSystem();
        return List(DetectedApps(roots), parser.isSet("json"));
    }
    for (const Command& command : kCommands) {
        if (name == command.name) {
            if (parser.isSet("json")) {
                return Usage("--json goes with list only");
            }
            return RunCommand(command, parser);
        }
    }
    return Usage("unknown command '" + name + "'");
}
