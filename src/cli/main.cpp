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

    const QStringList arguments = cli::Arguments(argc, argv);
    if (!parser.parse(arguments)) {
        return cli::Usage(cli::ParseError(parser, arguments));
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
    // An option a command does not take would otherwise be ignored, and the run do other
    // than the line asked for (reset --keep 3 keeps nothing: it deletes).
    if (const std::string foreign = cli::ForeignOption(parser, name); !foreign.empty()) {
        return cli::Usage(name + " does not take " + foreign);
    }
    if (name == "list") {
        if (positional.size() > 1) {
            return cli::Usage("list takes no apps");
        }
        if (!cli::HasPackagesRoot(roots)) {
            return cli::kFailed;
        }
        std::vector<modApps::Skipped> leftOut;
        const auto apps = cli::DetectedApps(roots, &leftOut);
        cli::TellLeftOut(leftOut);
        return cli::List(apps, parser.isSet("json"));
    }
    if (name == "backups") {
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
