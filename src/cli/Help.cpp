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

// The help of the command `name`; none for a name that is no command.
const Topic* FindTopic(const QString& name) {
    const auto found = std::find_if(std::begin(kTopics), std::end(kTopics),
                                    [&](const Topic& t) { return name == t.name; });
    return found == std::end(kTopics) ? nullptr : found;
}

} // namespace

QCommandLineOption DescribeOptions(QCommandLineParser& parser) {
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

int Usage(const std::string& what, bool hint) {
    Err("dittoly-ua-cli: " + what + '\n');
    if (hint) {
        Err("Try 'dittoly-ua-cli --help'.\n");
    }
    return kUsage;
}

} // namespace cli
