// forget: the retention a Backup or Restore applies after it succeeded, applied alone, to
// thin an app's History after a change of policy. Under each app's lock, as every run that
// changes its backups; --dry-run names what would go and changes nothing.
#include "cli/Commands.h"
#include "cli/Names.h"
#include "cli/Streams.h"
#include "locale/LocaleClock.h"
#include "operations/History.h"
#include "platform/Platform.h"

#include <QJsonArray>
#include <QJsonObject>
#include <cerrno>

namespace cli {

namespace {

namespace history = operations::history;

std::string Joined(const std::vector<std::string>& ids) {
    std::string text;
    for (const std::string& id : ids) {
        text += (text.empty() ? "" : ", ") + id;
    }
    return text;
}

// What forget did to one app's History: the ids removed, or why nothing was.
struct Forgotten {
    std::vector<std::string> removed;
    std::string reason;
    bool failed = false;
};

Forgotten ForgetApp(const modGlobal::Roots& roots, const std::string& package,
                    const operations::RunOptions& options, std::int64_t now, bool dryRun) {
    Forgotten done;
    const std::vector<std::string> expired =
        history::Expired(history::List(roots, package), options.policy, now, {});
    if (dryRun) {
        done.removed = expired;
        return done;
    }
    platform::FileLock lock;
    std::string holder;
    if (const int error = history::LockApp(roots, package, now, options.waitMs, lock, holder);
        error != 0) {
        done.failed = true;
        done.reason = error == EWOULDBLOCK
                          ? "in use by another run (" + holder + "), so it was left as it was"
                          : platform::ErrorText(error);
        return done;
    }
    history::Tidy(roots, package);
    done.removed = history::Prune(roots, package, options.policy, now, {});
    const std::vector<std::string> stayed =
        history::Expired(history::List(roots, package), options.policy, now, {});
    if (!stayed.empty()) {
        done.failed = true;
        done.reason = "could not remove " + Joined(stayed);
    }
    return done;
}

} // namespace

int Forget(QCommandLineParser& parser) {
    const QStringList names = parser.positionalArguments().mid(1);
    const bool all = parser.isSet("all");
    if (const std::string wrong = AppsOrAll("forget", names, all); !wrong.empty()) {
        return Usage(wrong);
    }
    std::string error;
    const auto options = OptionsFrom(parser, error);
    if (!options) {
        return Usage(error);
    }
    const modGlobal::Roots roots = modGlobal::Roots::FromSystem();
    std::vector<modApps::Skipped> leftOut;
    auto apps = all ? std::optional(AppsWithBackups(roots))
                    : Choose(AppsWithBackups(roots, &leftOut), names, error, leftOut);
    if (!apps) {
        return Usage(error);
    }
    const bool dryRun = parser.isSet("dry-run");
    const bool json = parser.isSet("json");
    const std::int64_t now = regional::LocaleClock().UtcNow();
    QJsonArray list;
    std::string text;
    bool failed = false;
    for (const auto& app : *apps) {
        const Forgotten done = ForgetApp(roots, app.package, *options, now, dryRun);
        failed = failed || done.failed;
        QJsonObject entry{{"package", NameText(app.package)},
                          {"display", NameText(app.display)},
                          {"result", done.failed ? "error" : "ok"},
                          {"removed", Ids(done.removed)}};
        text += EscapeName(app.display) + ": ";
        if (!done.reason.empty()) {
            entry["reason"] = QString::fromStdString(done.reason);
            Err("dittoly-ua-cli: " + app.display + ": " + done.reason + '\n');
        }
        text += done.removed.empty()
                    ? "nothing to remove"
                    : (dryRun ? "would remove " : "removed ") + Joined(done.removed);
        text += done.failed ? " (" + done.reason + ")\n" : "\n";
        list.append(entry);
    }
    if (json) {
        Out(Json(QJsonObject{{"operation", "forget"}, {"dry-run", dryRun}, {"apps", list}}));
    } else {
        Out(text);
    }
    return failed ? kFailed : kOk;
}

} // namespace cli
