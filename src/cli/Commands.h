#pragma once
// dittoly-ua-cli: the operations without a window, for scheduled backups and scripts.
// It prints the same status lines the window shows and saves the same log, from the same
// folders: the program folder it sits in and the user's profile. Data (status lines,
// JSON, help) goes to stdout; questions, progress, reasons and messages go to stderr.
//
// Exit status: 0 when every app was done or had nothing to do (a backup of an app that
// keeps no Settings) and the logs were saved, 1 when anything else failed (or the run
// could not start), 2 for a usage error, which changes nothing, 130 when an interrupt
// ended the run early.
//
// The one header its files share, so each group of commands reads on its own: main.cpp
// parses and dispatches, Help.cpp holds the help texts, ListCommands.cpp list and backups,
// RunCommands.cpp the runs that change app data, ForgetCommand.cpp the retention alone.

#include "catalogue/modApps.h"
#include "common/modGlobal.h"
#include "operations/RunFrame.h"

#include <QCommandLineParser>
#include <QJsonArray>
#include <QJsonValue>
#include <QStringList>
#include <optional>
#include <string>
#include <vector>

namespace cli {

inline constexpr int kOk = 0;
inline constexpr int kFailed = 1;
inline constexpr int kUsage = 2;
inline constexpr int kInterrupted = 130;

struct Command {
    const char* name;
    operations::Operation op;
    bool asks; // changes or removes what the user has: asked first
};

inline constexpr Command kCommands[] = {
    {"backup", operations::Operation::Backup, false},
    {"restore", operations::Operation::Restore, true},
    {"reset", operations::Operation::Reset, true},
    {"hard-reset", operations::Operation::HardReset, true},
    {"clear-cache", operations::Operation::ClearAppCache, true},
};

// Help.cpp

// The general help (the description and the options the parser lists); returns --version.
QCommandLineOption DescribeOptions(QCommandLineParser& parser);
// The general help followed by every command's.
int HelpAll(const QCommandLineParser& parser, const modGlobal::Roots& roots);
// "help [COMMAND]" (`helpCommand`) or --help, which may also follow a command.
int Help(const QCommandLineParser& parser, bool helpCommand, const modGlobal::Roots& roots);
// Says what was wrong on stderr (with a pointer to --help when `hint`) and returns kUsage.
int Usage(const std::string& what, bool hint = true);
// The usage error of a command that takes APP... | --all given neither or both; "" when
// it was given one of them.
std::string AppsOrAll(const char* command, const QStringList& names, bool all);
// The first option set that `command` does not take, as "--name"; "" when there is none.
std::string ForeignOption(const QCommandLineParser& parser, const std::string& command);
// The parser's error with the option it names as it was typed (Qt drops the dashes).
std::string ParseError(const QCommandLineParser& parser, const QStringList& arguments);

// ListCommands.cpp

int List(const std::vector<operations::App>& apps, bool json);
int Backups(const QStringList& names, bool json);
bool HasPackagesRoot(const modGlobal::Roots& roots);
// The apps the package search finds; `leftOut` gets the entries it passed over.
std::vector<operations::App> DetectedApps(const modGlobal::Roots& roots,
                                          std::vector<modApps::Skipped>* leftOut = nullptr);
std::vector<operations::App> AppsWithBackups(const modGlobal::Roots& roots,
                                             std::vector<modApps::Skipped>* leftOut = nullptr);
// Says on stderr which entries of the packages folder a list or --all leaves out, and why.
void TellLeftOut(const std::vector<modApps::Skipped>& leftOut);
std::string LeftOutReason(modApps::LeftOut why);
std::string TerminalText(const std::string& text);
std::string Json(const QJsonValue& value);

// RunCommands.cpp

int RunCommand(const Command& command, QCommandLineParser& parser);
// What the options say of History and locks: the retention policy (--keep N, or the
// --keep-... rules, of which those not given keep nothing; else the default) and --wait.
// nullopt with `error` for a usage error.
std::optional<operations::RunOptions> OptionsFrom(const QCommandLineParser& parser,
                                                  std::string& error);
// History ids as a JSON array.
QJsonArray Ids(const std::vector<std::string>& ids);

// ForgetCommand.cpp

int Forget(QCommandLineParser& parser);
// The apps `names` name among `candidates`; a name of an entry the search left out is
// refused with the reason it was left out.
std::optional<std::vector<operations::App>>
Choose(std::vector<operations::App> candidates, const QStringList& names, std::string& error,
       const std::vector<modApps::Skipped>& leftOut = {});

} // namespace cli
