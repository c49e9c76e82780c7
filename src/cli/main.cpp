// dittoly-ua-cli's start: the console's text route, the application, the parser; then one
// of the commands. What each command does and prints is in its own file (Commands.h).
#include "cli/Commands.h"
#include "cli/Console.h"
#include "cli/Names.h"
#include "cli/Streams.h"
#include "common/modGlobal.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <string>

int main(int argc, char** argv) {
    const console::TextRoute route;
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("dittoly-ua-cli");
    QCoreApplication::setApplicationVersion(DITTOLY_VERSION);

    QCommandLineParser parser;
    const QCommandLineOption version = cli::DescribeOptions(parser);

    if (!parser.parse(cli::Arguments(argc, argv))) {
        return cli::Usage(parser.errorText().toStdString());
    }
    if (parser.isSet(version)) {
        cli::Out(std::string("dittoly-ua-cli ") + DITTOLY_VERSION + '\n');
        return cli::kOk;
    }
    const modGlobal::Roots roots = modGlobal::Roots::FromSystem();
    const QStringList positional = parser.positionalArguments();
    if (parser.isSet("help-all")) {
        return cli::HelpAll(parser, roots);
    }
    const bool helpCommand = !positional.isEmpty() && positional.front() == "help";
    if (parser.isSet("help") || helpCommand) {
        return cli::Help(parser, helpCommand, roots);
    }
    if (positional.isEmpty()) {
        return cli::Usage("no command given");
    }
    const std::string name = positional.front().toStdString();
    bool runOnly = false;
    for (const char* option : {"all", "yes", "keep", "keep-last", "keep-daily", "keep-weekly",
                               "keep-monthly", "wait", "from", "dry-run", "quiet"}) {
        runOnly = runOnly || parser.isSet(option);
    }
    if (name == "list") {
        if (positional.size() > 1 || runOnly) {
            return cli::Usage("list takes no apps and only --json");
        }
        return cli::HasPackagesRoot(roots)
                   ? cli::List(cli::DetectedApps(roots), parser.isSet("json"))
                   : cli::kFailed;
    }
    if (name == "backups") {
        if (runOnly) {
            return cli::Usage("backups takes app names and --json only");
        }
        return cli::Backups(positional.mid(1), parser.isSet("json"));
    }
    if (name == "forget") {
        return cli::Forget(parser);
    }
    for (const cli::Command& command : cli::kCommands) {
        if (name == command.name) {
            return cli::RunCommand(command, parser);
        }
    }
    return cli::Usage("unknown command '" + name + "'");
}
