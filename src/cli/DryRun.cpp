#include "cli/DryRun.h"

#include "cli/Names.h"
#include "cli/Streams.h"
#include "operations/StatusText.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <optional>

namespace cli {

namespace {

using operations::AppResult;
using operations::Operation;
using platform::Below;
using platform::PathState;

std::string PathOf(const Below& at) {
    std::string path = at.root;
    for (const std::string& name : at.names) {
        path += (path.ends_with(platform::kSepStr) ? "" : platform::kSepStr) + name;
    }
    return path;
}

struct Folder {
    std::string path;
    platform::TreeSize size;
};

struct Plan {
    AppResult result = AppResult::Ok;
    std::string reason;
    const char* action = "delete";
    Folder subject;
    std::string to;                 // copies: where the copy goes
    std::optional<Folder> replaced; // copies: what the copy would replace
    bool replacedKept = false;      // ... and whether that goes to History
};

// The same checks, in the same order and words, as the run's own reasons.
Plan PlanFor(Operation op, const std::string& package, const modGlobal::Roots& roots,
             const operations::RunOptions& options) {
    const std::string packages = roots.PackagesRoot();
    const Below live{packages, {package, "Settings"}};
    Below subject = live;
    std::optional<Below> target;
    std::string what = "the Settings folder";
    Plan plan;
    switch (op) {
    case Operation::Backup:
        target = Below{roots.BackupDir(), {package, "Settings"}};
        break;
    case Operation::Restore:
        subject = {roots.BackupDir(), {package, "Settings"}};
        if (!options.restoreFrom.empty()) {
            subject.names = {package, "History", options.restoreFrom, "Settings"};
        }
        target = live;
        what = "the backup";
        break;
    case Operation::HardReset:
        subject = {packages, {package}};
        what = "the package folder";
        break;
    case Operation::ClearAppCache:
        subject = {packages, {package, "LocalCache"}};
        plan.action = "empty";
        what = "the LocalCache folder";
        break;
    default:
        break;
    }
    plan.subject.path = PathOf(subject);
    const auto fail = [&](AppResult result, std::string reason) {
        plan.result = result;
        plan.reason = std::move(reason);
        return plan;
    };
    if (target) {
        plan.action = "copy";
        plan.to = PathOf(*target);
    }
    const auto isLink = [](const std::string& path) {
        return platform::StateOf(path) == PathState::Link;
    };
    if (!operations::IsPlainFolderName(package)) {
        return fail(AppResult::Error, "refused: not a plain folder name");
    }
    if (isLink(packages + platform::kSepStr + package)) {
        return fail(AppResult::Error, "refused: the package folder is a link");
    }
    if (target && isLink(roots.BackupDir() + package)) {
        return fail(AppResult::Error, "refused: the backup folder is a link");
    }
    if (target && isLink(plan.to)) {
        return fail(AppResult::Error, op == Operation::Backup
                                          ? "refused: the latest backup is a link"
                                          : "refused: the Settings folder is a link");
    }
    switch (platform::StateOf(plan.subject.path)) {
    case PathState::Missing:
        return op == Operation::Restore ? fail(AppResult::Error, "no backup to restore")
               : op == Operation::Backup
                   ? fail(AppResult::NothingToDo, "no Settings folder to back up")
                   : fail(AppResult::NothingToDo, "no " + what.substr(4) + " to delete");
    case PathState::Link:
        return fail(AppResult::Error, "refused: " + what + " is a link");
    case PathState::Other:
        return fail(AppResult::Error, "refused: " + what + " is not a folder");
    case PathState::Folder:
        break;
    }
    if (const int error = platform::MeasureTree(subject, plan.subject.size); error != 0) {
        return fail(AppResult::Error, platform::ErrorText(error));
    }
    if (target && platform::StateOf(plan.to) == PathState::Folder) {
        plan.replaced = Folder{plan.to, {}};
        platform::MeasureTree(*target, plan.replaced->size);
        plan.replacedKept = options.keep > 0;
    }
    return plan;
}

std::string SizeText(const platform::TreeSize& size) {
    return std::to_string(size.files) + " files, " + std::to_string(size.bytes) + " bytes";
}

} // namespace

void DryRun(Operation op, const char* command, const std::vector<operations::App>& apps,
            const modGlobal::Roots& roots, const operations::RunOptions& options, bool json) {
    QJsonArray list;
    int counts[3] = {};
    std::string text;
    for (const auto& app : apps) {
        const Plan plan = PlanFor(op, app.package, roots, options);
        ++counts[static_cast<int>(plan.result)];
        QJsonObject entry{{"package", NameText(app.package)},
                          {"display", NameText(app.display)},
                          {"action", plan.action},
                          {"path", QString::fromStdString(plan.subject.path)}};
        text += EscapeName(app.display) + " (" + EscapeName(app.package) + "): ";
        if (plan.result != AppResult::Ok) {
            entry["result"] = plan.result == AppResult::Error ? "error" : "nothing-to-do";
            entry["reason"] = QString::fromStdString(plan.reason);
            text += (plan.result == AppResult::Error ? "would fail: " : "nothing to do: ") +
                    plan.reason + '\n';
            list.append(entry);
            continue;
        }
        entry["result"] = "ok";
        entry["files"] = static_cast<qint64>(plan.subject.size.files);
        entry["bytes"] = static_cast<qint64>(plan.subject.size.bytes);
        text += std::string(plan.action) + ' ' + plan.subject.path + " (" +
                SizeText(plan.subject.size) + ")";
        if (!plan.to.empty()) {
            entry["to"] = QString::fromStdString(plan.to);
            text += " to " + plan.to;
        }
        text += '\n';
        if (plan.replaced) {
            entry["replaces"] =
                QJsonObject{{"path", QString::fromStdString(plan.replaced->path)},
                            {"files", static_cast<qint64>(plan.replaced->size.files)},
                            {"bytes", static_cast<qint64>(plan.replaced->size.bytes)},
                            {"to-history", plan.replacedKept}};
            text += "  replacing " + plan.replaced->path + " (" + SizeText(plan.replaced->size) +
                    "), which " + (plan.replacedKept ? "moves to History" : "is removed") + '\n';
        }
        list.append(entry);
    }
    if (!json) {
        Out(text);
        Err("dittoly-ua-cli: a dry run: nothing was changed\n");
        return;
    }
    const QJsonObject run{
        {"operation", command},
        {"dry-run", true},
        {"counts",
         QJsonObject{{"apps", static_cast<int>(apps.size())},
                     {"ok", counts[static_cast<int>(AppResult::Ok)]},
                     {"error", counts[static_cast<int>(AppResult::Error)]},
                     {"nothing-to-do", counts[static_cast<int>(AppResult::NothingToDo)]}}},
        {"apps", list}};
    Out(QJsonDocument(run).toJson(QJsonDocument::Indented).toStdString());
}

} // namespace cli
