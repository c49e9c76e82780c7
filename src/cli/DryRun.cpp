#include "cli/DryRun.h"

#include "cli/Commands.h"
#include "cli/Names.h"
#include "cli/Streams.h"
#include "locale/LocaleClock.h"
#include "operations/StatusText.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <optional>

namespace cli {

namespace {

using operations::AppResult;
using operations::Operation;
using platform::PathState;

struct Folder {
    std::string path;
    platform::TreeSize size;
};

struct Plan {
    AppResult result = AppResult::Ok;
    std::string reason;
    const char* action = "delete";
    Folder subject;
    std::string to;                  // copies: where the copy goes
    std::optional<Folder> replaced;  // copies: what the copy would replace
    operations::HistoryPlan history; // copies: what would become of the History
};

// What the run would do, and what would stand in its way, as the run itself sees it.
Plan PlanFor(Operation op, const std::string& package, const modGlobal::Roots& roots,
             const operations::RunOptions& options) {
    const operations::StepPlan step = operations::PlanStep(op, package, roots, options);
    Plan plan;
    plan.subject.path = platform::PathOf(step.subject);
    plan.action = step.replaced ? "copy" : op == Operation::ClearAppCache ? "empty" : "delete";
    if (step.replaced) {
        plan.to = platform::PathOf(*step.replaced);
    }
    if (step.refusal.result != AppResult::Ok) {
        plan.result = step.refusal.result;
        plan.reason = step.refusal.reason;
        return plan;
    }
    if (const int error = platform::MeasureTree(step.subject, plan.subject.size); error != 0) {
        plan.result = AppResult::Error;
        plan.reason = platform::ErrorText(error);
        return plan;
    }
    if (step.replaced && platform::StateOf(plan.to) == PathState::Folder) {
        plan.replaced = Folder{plan.to, {}};
        platform::MeasureTree(*step.replaced, plan.replaced->size);
    }
    if (step.replaced) {
        plan.history =
            operations::PlanHistory(op, package, roots, options, regional::LocaleClock().UtcNow());
        if (plan.history.unchanged) {
            plan.result = AppResult::Unchanged;
            plan.reason = "unchanged";
        }
    }
    return plan;
}

std::string SizeText(const platform::TreeSize& size) {
    return Counted(size.files, "file") + ", " + Size(size.bytes);
}

// Where the folder a copy replaces would go: into History under its id, or away when
// retention would remove that entry at once.
bool KeptInHistory(const operations::HistoryPlan& history) {
    return !history.added.empty() && std::find(history.removed.begin(), history.removed.end(),
                                               history.added) == history.removed.end();
}

} // namespace

void DryRun(Operation op, const char* command, const std::vector<operations::App>& apps,
            const modGlobal::Roots& roots, const operations::RunOptions& options, bool json) {
    QJsonArray list;
    int counts[4] = {};
    std::string text;
    for (const auto& app : apps) {
        const Plan plan = PlanFor(op, app.package, roots, options);
        ++counts[static_cast<int>(plan.result)];
        QJsonObject entry{{"package", NameText(app.package)},
                          {"display", NameText(app.display)},
                          {"action", plan.action},
                          {"path", QString::fromStdString(plan.subject.path)}};
        text += EscapeName(app.display) + " (" + EscapeName(app.package) + "): ";
        if (plan.result == AppResult::Unchanged) {
            entry["result"] = "unchanged";
            text += "unchanged: its latest backup holds these Settings exactly; nothing would "
                    "be copied\n";
            list.append(entry);
            continue;
        }
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
        const bool kept = KeptInHistory(plan.history);
        if (plan.replaced) {
            entry["replaces"] =
                QJsonObject{{"path", QString::fromStdString(plan.replaced->path)},
                            {"files", static_cast<qint64>(plan.replaced->size.files)},
                            {"bytes", static_cast<qint64>(plan.replaced->size.bytes)},
                            {"to-history", kept}};
            text += "  replacing " + plan.replaced->path + " (" + SizeText(plan.replaced->size) +
                    "), which " +
                    (kept ? "moves to History as " + plan.history.added : "is removed") + '\n';
        }
        if (!plan.to.empty()) {
            entry["kept"] =
                Ids(kept ? std::vector{plan.history.added} : std::vector<std::string>{});
            std::vector<std::string> removed;
            for (const std::string& id : plan.history.removed) {
                if (id != plan.history.added) {
                    removed.push_back(id);
                }
            }
            entry["removed"] = Ids(removed);
            for (const std::string& id : removed) {
                text += "  removing History entry " + id + " (retention)\n";
            }
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
        {"counts", QJsonObject{{"apps", static_cast<int>(apps.size())},
                               {"ok", counts[static_cast<int>(AppResult::Ok)]},
                               {"error", counts[static_cast<int>(AppResult::Error)]},
                               {"nothing-to-do", counts[static_cast<int>(AppResult::NothingToDo)]},
                               {"unchanged", counts[static_cast<int>(AppResult::Unchanged)]}}},
        {"apps", list}};
    Out(QJsonDocument(run).toJson(QJsonDocument::Indented).toStdString());
}

} // namespace cli
