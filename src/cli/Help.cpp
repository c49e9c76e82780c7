// The help texts: the general help the parser prints from its description and options,
// each command's own help, and the usage errors that point to them. Help goes to stdout
// like any data, so a script can read it; a usage error goes to stderr.
#include "cli/Commands.h"
#include "cli/Streams.h"

#include <algorithm>
#include <iterator>

namespace cli {

namespace {

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
     "package name. --json prints an array of {\"display\", \"package\"}. The entries of\n"
     "that folder it leaves out (a link, which is never followed, what is not a folder, a\n"
     "folder it cannot read) are named on stderr with the reason, as by --all.",
     "dittoly-ua-cli list --json"},
    {"backup", "backup APP... | --all  [POLICY] [--wait S] [--dry-run] [--json] [--quiet]",
     "Copies each app's Settings folder, exactly, into Backup/<package>/Settings (only\n"
     "Settings: LocalState and the rest are not backed up). The backup it replaces moves\n"
     "to Backup/<package>/History, which then keeps what the retention policy names (see\n"
     "forget). Files that did not change since the latest backup are shared with it (hard\n"
     "links) instead of copied again. An app whose Settings are exactly its latest backup\n"
     "is left as it is and said to be unchanged. An app without Settings counts as nothing to do, "
     "not as a\n"
     "failure; an app another run is working on fails (--wait S waits for it first).",
     "dittoly-ua-cli backup --all --quiet --wait 600"},
    {"restore",
     "restore [--from ID] APP... | --all  [--yes] [POLICY] [--wait S] [--dry-run] [--json]\n"
     "        [--quiet]",
     "Copies the app's backup (with --from, an older one from its History: see backups)\n"
     "back into its package folder, exactly. The Settings folder it replaces moves to the\n"
     "app's History first, so a restore can be undone; a restore that restored nothing\n"
     "adds nothing there. Asks first, unless --yes, after naming each app and the backup\n"
     "it gets back (its time, or the --from id).",
     "dittoly-ua-cli restore --from 2026-12-05T140509Z Contoso.Notes.App_0a1b2c3d4e5f6"},
    {"reset", "reset APP... | --all  [--yes] [--dry-run] [--json] [--quiet]",
     "Deletes each app's Settings folder, so the app starts with its defaults.\n"
     "Asks first, unless --yes, after naming the apps.",
     "dittoly-ua-cli reset --yes \"Contoso Notes App\""},
    {"hard-reset", "hard-reset APP... | --all  [--yes] [--dry-run] [--json] [--quiet]",
     "Deletes each app's whole package folder: settings, app data, preferences and\n"
     "sign-in details. Asks first, unless --yes, after naming the apps.",
     "dittoly-ua-cli hard-reset --dry-run --all"},
    {"clear-cache", "clear-cache APP... | --all  [--yes] [--dry-run] [--json] [--quiet]",
     "Empties each app's LocalCache folder. Asks first, unless --yes, after naming the\n"
     "apps.",
     "dittoly-ua-cli clear-cache --yes --all"},
    {"backups", "backups [APP...] [--json]",
     "Lists each app's latest backup and its History, newest first: id, kind (backup,\n"
     "before-restore, or undated for a backup whose time no record vouches for), time\n"
     "(UTC), files and bytes, and the bytes a History entry holds of its own (shared with\n"
     "no other backup); then the disk the app's backups take, each shared file once, and\n"
     "what interrupted runs left that its next backup or restore clears. An id goes to\n"
     "restore --from.",
     "dittoly-ua-cli backups --json \"Contoso Notes App\""},
    {"forget", "forget APP... | --all  [POLICY] [--wait S] [--dry-run] [--json]",
     "Removes the History entries the retention policy does not keep, as every backup and\n"
     "restore does after it succeeded. POLICY is --keep N (the newest N alone), or any of\n"
     "--keep-last N, --keep-daily N, --keep-weekly N, --keep-monthly N (an entry that\n"
     "any rule keeps stays; each day, week or month, in UTC, keeps its newest backup).\n"
     "Without one: --keep-last 10 --keep-daily 7 --keep-weekly 4 --keep-monthly 6.\n"
     "Entries made before a restore keep their newest 5 besides; undated entries, and\n"
     "entries dated after now, are never removed.",
     "dittoly-ua-cli forget --dry-run --keep-daily 14 --all"},
};

std::string TopicHelp(const Topic& topic, const modGlobal::Roots& roots) {
    return std::string("Usage: dittoly-ua-cli ") + topic.usage + "\n\n" + topic.what +
           "\n\nExample:\n  " + topic.example + "\n\nBackups, their History and the logs are in " +
           roots.BackupDir() + "\n";
}

// The help of the command `name`; none for a name that is no command.
const Topic* FindTopic(const QString& name) {
    const auto found = std::find_if(std::begin(kTopics), std::end(kTopics),
                                    [&](const Topic& t) { return name == t.name; });
    return found == std::end(kTopics) ? nullptr : found;
}

// The options each command takes, between blanks; help's own are taken by every one.
struct Takes {
    const char* command;
    const char* options;
};
constexpr const char* kPolicy = " keep keep-last keep-daily keep-weekly keep-monthly wait ";
// Every command that changes something takes --yes, asked or not: a script that passes it
// to each of its lines must not find its nightly backup refused for it.
const Takes kTakes[] = {
    {"list", " json "},
    {"backups", " json "},
    {"backup", " all yes json dry-run quiet "},
    {"restore", " all yes from json dry-run quiet "},
    {"reset", " all yes json dry-run quiet "},
    {"hard-reset", " all yes json dry-run quiet "},
    {"clear-cache", " all yes json dry-run quiet "},
    {"forget", " all yes json dry-run "},
};

} // namespace

QCommandLineOption DescribeOptions(QCommandLineParser& parser) {
    parser.setApplicationDescription(
        "Backs up, restores, resets or cache-clears the data of the apps under\n"
        "<profile>/AppData/Local/Packages, like Dittoly UA's window, for scripts and\n"
        "scheduled runs. Apps are named by package folder name or by display name, ignoring\n"
        "case. Status lines and JSON go to stdout; questions, progress and messages to stderr.\n"
        "An option a command does not take is a usage error. Sizes are in KiB, MiB, GiB\n"
        "(1 KiB = 1024 bytes), as the window shows them.\n\n"
        "Commands:\n"
        "  list                    the detected apps: display name, tab, package name\n"
        "  backup APP...|--all     copy each app's Settings into Backup/<package>\n"
        "  restore APP...|--all    copy the backup back into the app's folder\n"
        "  reset APP...|--all      delete each app's Settings folder\n"
        "  hard-reset APP...|--all delete each app's whole package folder\n"
        "  clear-cache APP...|--all empty each app's LocalCache folder\n"
        "  backups [APP...]        each app's latest backup and its History, newest first\n"
        "  forget APP...|--all     remove the History entries the retention does not keep\n"
        "  help [COMMAND]          this help, or one command's (also: COMMAND --help)\n\n"
        "What a backup or restore replaces is kept in Backup/<package>/History, by age: the\n"
        "last 10, one a day for 7 days, one a week for 4 weeks, one a month for 6 months\n"
        "(the --keep options change it): restore --from ID APP puts one back. One run at a\n"
        "time works on an app's backups. Each run's lines are also added to\n"
        "Backup/Dittoly UA history.txt (about the last 1 MiB).\n\n"
        "Exit status: 0 all done (an app with nothing to do, such as one without\n"
        "Settings to back up, counts as done), 1 something failed, 2 usage error,\n"
        "130 interrupted (Ctrl-C, SIGTERM): the app in progress was left as it was.");
    parser.addPositionalArgument("command", "list, backup, restore, reset, hard-reset, "
                                            "clear-cache, backups, forget or help");
    parser.addOption({{"h", "help"}, "Show this help; after a command, that command's help."});
    parser.addOption({"help-all", "Show this help and every command's help."});
    const QCommandLineOption version = parser.addVersionOption();
    parser.addOption({"all", "Work on every detected app; the entries of the packages folder "
                             "left out are named on stderr."});
    parser.addOption({"yes", "Answer the question of restore, reset, hard-reset and "
                             "clear-cache with yes."});
    parser.addOption({"json", "Print JSON: the apps (list), the backups (backups), or the "
                              "run and each app's result (the other commands)."});
    parser.addOption({{"n", "dry-run"},
                      "Show what the command would copy or delete, with sizes; change "
                      "nothing."});
    parser.addOption({{"q", "quiet"},
                      "Print failures only (and what --all leaves out): no status lines, "
                      "no progress."});
    parser.addOption({"keep",
                      "backup, restore, forget: keep the newest N History entries and no "
                      "others (0 keeps none and empties the History).",
                      "N"});
    parser.addOption({"keep-last", "backup, restore, forget: keep the newest N backups.", "N"});
    parser.addOption(
        {"keep-daily", "... and the newest backup of each of the last N days that have one.", "N"});
    parser.addOption(
        {"keep-weekly", "... of each of the last N weeks (Monday to Sunday, UTC).", "N"});
    parser.addOption({"keep-monthly", "... of each of the last N months.", "N"});
    parser.addOption({"wait",
                      "backup, restore, forget: wait up to S seconds for another run working "
                      "on an app (default 0: that app fails at once).",
                      "S"});
    parser.addOption({"from",
                      "restore: this History entry (an id from backups) instead of "
                      "the latest backup.",
                      "ID"});
    return version;
}

int HelpAll(const QCommandLineParser& parser, const modGlobal::Roots& roots) {
    std::string text = parser.helpText().toStdString();
    for (const Topic& each : kTopics) {
        // Two appends, not "\n" + TopicHelp(...): GCC 12 at -O3 (the Windows build) takes
        // that for an overlapping copy and warns, falsely (-Wrestrict).
        text += '\n';
        text += TopicHelp(each, roots);
    }
    Out(text);
    return kOk;
}

int Help(const QCommandLineParser& parser, bool helpCommand, const modGlobal::Roots& roots) {
    const QStringList asked = parser.positionalArguments().mid(helpCommand ? 1 : 0);
    if (asked.isEmpty()) {
        Out(parser.helpText().toStdString() + "\nBackups, their History and the logs are in " +
            roots.BackupDir() + "\n");
        return kOk;
    }
    if (const Topic* found = FindTopic(asked.front());
        found && (asked.size() == 1 || !helpCommand)) {
        Out(TopicHelp(*found, roots));
        return kOk;
    }
    return Usage("no help for '" + asked.join(' ').toStdString() + "'");
}

std::string AppsOrAll(const char* command, const QStringList& names, bool all) {
    if (all && !names.isEmpty()) {
        return std::string(command) + ": name the apps or give --all, not both";
    }
    if (!all && names.isEmpty()) {
        return std::string(command) + ": no apps given: name them, or give --all for every app";
    }
    return {};
}

std::string ForeignOption(const QCommandLineParser& parser, const std::string& command) {
    const auto takes = std::find_if(std::begin(kTakes), std::end(kTakes),
                                    [&](const Takes& t) { return command == t.command; });
    if (takes == std::end(kTakes)) {
        return {}; // no such command: that is the error to tell
    }
    const bool policy = command == "backup" || command == "restore" || command == "forget";
    const std::string taken = std::string(takes->options) + (policy ? kPolicy : "");
    for (const char* option : {"all", "yes", "from", "json", "dry-run", "quiet", "keep",
                               "keep-last", "keep-daily", "keep-weekly", "keep-monthly", "wait"}) {
        if (parser.isSet(option) &&
            taken.find(' ' + std::string(option) + ' ') == std::string::npos) {
            return std::string("--") + option;
        }
    }
    return {};
}

std::string ParseError(const QCommandLineParser& parser, const QStringList& arguments) {
    const QStringList unknown = parser.unknownOptionNames();
    if (unknown.isEmpty()) {
        return parser.errorText().toStdString(); // Qt names the option as typed there
    }
    // Qt names an unknown option without its dashes, and "-bogus" letter by letter; the
    // argument as typed is what the user can find on the command line.
    QStringList typed;
    for (const QString& argument : arguments.mid(1)) {
        if (argument == "--") {
            break;
        }
        const QString option = argument.section('=', 0, 0);
        const bool isLong = option.startsWith("--");
        const bool named = isLong ? unknown.contains(option.mid(2))
                                  : option.startsWith('-') &&
                                        std::any_of(option.begin() + 1, option.end(), [&](QChar c) {
                                            return unknown.contains(QString(c));
                                        });
        if (named && !typed.contains(option)) {
            typed.append(option);
        }
    }
    if (typed.isEmpty()) {
        return parser.errorText().toStdString();
    }
    return (typed.size() == 1 ? "unknown option '" : "unknown options '") +
           typed.join("', '").toStdString() + "'";
}

int Usage(const std::string& what, bool hint) {
    Err("dittoly-ua-cli: " + what + '\n');
    if (hint) {
        Err("Try 'dittoly-ua-cli --help'.\n");
    }
    return kUsage;
}

} // namespace cli
