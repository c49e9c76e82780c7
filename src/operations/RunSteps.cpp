#include "operations/RunSteps.h"

#include "operations/History.h"
#include "operations/StatusText.h"
#include "platform/Platform.h"

#include <algorithm>
#include <cerrno>
#include <optional>

namespace operations {

namespace steps {

namespace {

using platform::kSepStr;

bool IsFolderAt(const Below& at) {
    return platform::StateOf(platform::PathOf(at)) == platform::PathState::Folder;
}

// Whether the folder at `at` is another one than `before` was: a copy took its place.
bool Replaced(const std::optional<platform::FolderFacts>& before, const Below& at) {
    const auto after = platform::InspectFolder(at);
    return after && (!before || before->identity != after->identity);
}

// Takes the app's lock for a copy into or out of its backups; a refusal says which run
// has the app.
int LockForCopy(const modGlobal::Roots& roots, const std::string& package, std::int64_t now,
                const RunOptions& options, platform::FileLock& lock, StepReport& report) {
    std::string holder;
    const int error =
        history::LockApp(roots, package, now, options.waitMs, lock, holder, &report.where);
    if (error == EWOULDBLOCK) {
        report.reason = "in use by another run (" +
                        (holder.empty() ? std::string("another process") : holder) +
                        "), so it was left as it was";
    }
    return error;
}

// What retention keeps safe after a run: the entry it made and the one it restored from;
// nothing when the policy keeps nothing at all.
std::vector<std::string> Protected(const RunOptions& options, const std::string& made) {
    if (options.policy.KeepsNothing()) {
        return {};
    }
    return {made, options.restoreFrom};
}

// A Backup: under the app's lock, after tidying what killed runs left, unless the app's
// Settings are exactly its latest backup already: the new copy takes the latest's place,
// which moves into History under the time it was made.
int BackupWork(const modGlobal::Roots& roots, const std::string& package, const RunOptions& options,
               std::int64_t now, platform::TreeProgress* progress, StepReport& report) {
    const Below backup{roots.BackupDir(), {package}};
    const Below settings{roots.PackagesRoot(), {package, "Settings"}};
    const Below latest{roots.BackupDir(), {package, "Settings"}};
    platform::MakeFolderChain(backup);
    platform::FileLock lock;
    if (const int error = LockForCopy(roots, package, now, options, lock, report); error != 0) {
        return error;
    }
    history::Tidy(roots, package);
    const history::Latest last = history::LatestBackup(roots, package);
    bool same = false;
    if (platform::CompareTrees(settings, latest, same, last.readSince) == 0 && same) {
        report.unchanged = true;
        return 0;
    }
    platform::CopyStats stats;
    platform::CopyOptions copy;
    copy.progress = progress;
    copy.exclusive = true;
    copy.linkUnchanged = true;
    copy.readSince = last.readSince;
    copy.stats = &stats;
    std::string replaced;
    if (last.exists) {
        replaced = history::NewId(roots, package, last.time.value_or(now),
                                  last.time ? history::Kind::Backup : history::Kind::Undated);
        copy.keep = history::EntryFolder(roots, package, replaced);
    }
    if (!history::BeginRecord(roots, package, now, replaced)) {
        report.reason =
            "the time of the new backup could not be recorded in " + platform::PathOf(backup);
        return EIO;
    }
    const auto before = platform::InspectFolder(latest);
    const int result = platform::CopyTree(settings, backup, copy, &report.where);
    const bool placed = Replaced(before, latest);
    report.thrownAway = !placed;
    history::EndRecord(roots, package, placed, stats.began);
    report.stats = stats;
    if (placed && !replaced.empty() &&
        IsFolderAt({roots.BackupDir(), {package, "History", replaced, "Settings"}})) {
        report.added.push_back(replaced);
    }
    if (result == 0) {
        report.removed =
            history::Prune(roots, package, options.policy, now, Protected(options, replaced));
    }
    return result;
}

// A Restore: the live Settings move into History before the backup's copy takes their
// place. A Restore that restored nothing leaves no entry behind.
int RestoreWork(const modGlobal::Roots& roots, const std::string& package, const Below& source,
                const RunOptions& options, std::int64_t now, platform::TreeProgress* progress,
                StepReport& report) {
    const Below inPackages{roots.PackagesRoot(), {package}};
    const Below live{roots.PackagesRoot(), {package, "Settings"}};
    platform::MakeFolderChain(inPackages);
    // Without a backup folder there is nothing to restore, and no lock to take.
    const bool hasBackups = IsFolderAt({roots.BackupDir(), {package}});
    platform::FileLock lock;
    if (hasBackups) {
        if (const int error = LockForCopy(roots, package, now, options, lock, report); error != 0) {
            return error;
        }
        history::Tidy(roots, package);
    }
    const auto before = platform::InspectFolder(live);
    // Always a copy, never a link: nothing the app writes may reach a file that its backups
    // share.
    platform::CopyStats stats;
    platform::CopyOptions copy;
    copy.progress = progress;
    copy.exclusive = hasBackups;
    copy.stats = &stats;
    std::string kept;
    if (before && hasBackups) {
        kept = history::NewId(roots, package, now, history::Kind::BeforeRestore);
        copy.keep = history::EntryFolder(roots, package, kept);
    }
    const int result = platform::CopyTree(source, inPackages, copy, &report.where);
    report.stats = stats;
    if (!Replaced(before, live)) {
        report.nothingRestored = true;
        report.thrownAway = true;
        if (!kept.empty() &&
            platform::StateOf(platform::PathOf(*copy.keep)) != platform::PathState::Missing) {
            platform::DiscardTree(*copy.keep, true); // made for a restore that did not happen
        }
    } else if (!kept.empty() &&
               IsFolderAt({roots.BackupDir(), {package, "History", kept, "Settings"}})) {
        report.added.push_back(kept);
    }
    if (result == 0 && hasBackups) {
        report.removed =
            history::Prune(roots, package, options.policy, now, Protected(options, kept));
    }
    return result;
}

// The folder a copy replaces: the latest backup for a Backup, the live Settings for a
// Restore; none for a delete.
std::optional<Below> ReplacedBy(Operation op, const std::string& package,
                                const modGlobal::Roots& roots) {
    if (op == Operation::Backup) {
        return Below{roots.BackupDir(), {package, "Settings"}};
    }
    if (op == Operation::Restore) {
        return Below{roots.PackagesRoot(), {package, "Settings"}};
    }
    return std::nullopt;
}

// What stands in the way of a step, in words a user can act on, looked at on the disk as it
// is: a name refused, a link on the way, a folder that is not there. Ok when nothing does.
AppOutcome Refusal(Operation op, const std::string& package, const Step& step,
                   const modGlobal::Roots& roots) {
    using platform::PathState;
    using platform::StateOf;
    const auto error = [](std::string reason) {
        return Outcome(AppResult::Error, std::move(reason));
    };
    if (!IsPlainFolderName(package)) {
        return error("refused: not a plain folder name");
    }
    const auto replaced = ReplacedBy(op, package, roots);
    if (StateOf(roots.PackagesRoot() + kSepStr + package) == PathState::Link) {
        return error("refused: the package folder is a link");
    }
    if (replaced && StateOf(roots.BackupDir() + package) == PathState::Link) {
        return error("refused: the backup folder is a link");
    }
    if (replaced && StateOf(platform::PathOf(*replaced)) == PathState::Link) {
        return error(op == Operation::Backup ? "refused: the latest backup is a link"
                                             : "refused: the Settings folder is a link");
    }
    const std::string what = op == Operation::Restore ? "the backup"
                             : op == Operation::HardReset
                                 ? "the package folder"
                                 : "the " + step.subject.names.back() + " folder";
    switch (StateOf(platform::PathOf(step.subject))) {
    case PathState::Missing:
        return op == Operation::Restore
                   ? error("no backup to restore")
                   : Outcome(AppResult::NothingToDo, op == Operation::Backup
                                                         ? "no Settings folder to back up"
                                                         : "no " + what.substr(4) + " to delete");
    case PathState::Link:
        return error("refused: " + what + " is a link");
    case PathState::Other:
        return error("refused: " + what + " is not a folder");
    case PathState::Folder:
        break;
    }
    return {};
}

// Where a failure lay, as the user knows the place: inside the app's package folder from
// there ("Settings/sub/file"), inside the program's Backup folder from "Backup", anything
// else in full; a name that is not UTF-8 as ReadableText writes it.
std::string ShownWhere(const Below& where, const std::string& package,
                       const modGlobal::Roots& roots) {
    std::size_t from = 0;
    std::string shown;
    if (where.root == roots.PackagesRoot() && where.names.size() > 1 &&
        where.names.front() == package) {
        from = 1;
    } else if (where.root == roots.BackupDir()) {
        shown = "Backup";
    } else {
        shown = where.root;
        while (shown.size() > 1 && shown.ends_with(platform::kSep)) {
            shown.pop_back();
        }
    }
    for (std::size_t i = from; i < where.names.size(); ++i) {
        shown += (shown.empty() ? "" : kSepStr) + where.names[i];
    }
    return ReadableText(shown);
}

// Whether `where` lies below the folder `folder`.
bool Inside(const Below& where, const Below& folder) {
    return where.root == folder.root && where.names.size() > folder.names.size() &&
           std::equal(folder.names.begin(), folder.names.end(), where.names.begin());
}

} // namespace

Step StepFor(Operation op, const std::string& package, const modGlobal::Roots& roots,
             const RunOptions& options, std::int64_t now) {
    const std::string packagesRoot = roots.PackagesRoot();
    const std::string packageFolder = packagesRoot + kSepStr + package;
    const Below inPackages{packagesRoot, {package}};
    const Below settings{packagesRoot, {package, "Settings"}};
    switch (op) {
    case Operation::Backup:
        return {kWordBackup, packageFolder + kSepStr + "Settings" + kSepStr,
                roots.BackupDir() + package + kSepStr, settings,
                [=](platform::TreeProgress* progress, StepReport& report) {
                    return BackupWork(roots, package, options, now, progress, report);
                }};
    case Operation::Restore: {
        Below source{roots.BackupDir(), {package, "Settings"}};
        std::string shown = roots.BackupDir() + package + kSepStr;
        if (!options.restoreFrom.empty()) {
            source.names = {package, "History", options.restoreFrom, "Settings"};
            shown += std::string("History") + kSepStr + options.restoreFrom + kSepStr;
        }
        return {kWordRestore, shown + "Settings" + kSepStr, packageFolder, source,
                [=](platform::TreeProgress* progress, StepReport& report) {
                    return RestoreWork(roots, package, source, options, now, progress, report);
                }};
    }
    case Operation::Reset:
        return {kWordReset,
                packageFolder + kSepStr + "Settings",
                {},
                settings,
                [=](platform::TreeProgress* progress, StepReport& report) {
                    return platform::RemoveTree(settings, progress, &report.where);
                }};
    case Operation::HardReset:
        return {kWordHardReset,
                packageFolder,
                {},
                inPackages,
                [=](platform::TreeProgress* progress, StepReport& report) {
                    return platform::RemoveTree(inPackages, progress, &report.where);
                }};
    default: {
        const Below cache{packagesRoot, {package, "LocalCache"}};
        return {kWordClearAppCache,
                packageFolder + kSepStr + "LocalCache",
                {},
                cache,
                [=](platform::TreeProgress* progress, StepReport& report) {
                    const int result = platform::RemoveTree(cache, progress, &report.where);
                    // One level only: a package folder that is gone is not brought back.
                    platform::MakeFolder(cache);
                    return result;
                }};
    }
    }
}

std::string StepLine(const Step& step, const std::string& appText, bool ok) {
    return step.shownDestination.empty()
               ? DeleteLine(appText, step.word, step.shownPath, ok)
               : CopyLine(appText, step.word, step.shownPath, step.shownDestination, ok);
}

AppOutcome Judge(Operation op, int code, const std::string& package, const Step& step,
                 const modGlobal::Roots& roots, const std::string& systemText,
                 const StepReport& report) {
    if (code == 0) {
        return report.unchanged ? Outcome(AppResult::Unchanged, "unchanged") : AppOutcome{};
    }
    if (!report.reason.empty()) {
        return Outcome(AppResult::Error, report.reason);
    }
    if (AppOutcome refused = Refusal(op, package, step, roots); refused.result != AppResult::Ok) {
        return refused;
    }
    const bool copy = ReplacedBy(op, package, roots).has_value();
    const bool known = !report.where.root.empty();
    const std::string at = known ? ShownWhere(report.where, package, roots) : std::string();
    std::string reason = known ? at + ": " + systemText : systemText;
    if (copy && (code == ELOOP || code == EXDEV || code == EINVAL) &&
        (!known || Inside(report.where, step.subject))) {
        reason = known ? at + ": links, mount points and special files are never copied; this "
                              "one and any others were left out"
                       : "links, mount points and special files inside are never copied, and "
                         "were left out";
    } else if (code == ELOOP || code == EXDEV ||
               (code == ENOTDIR && known &&
                platform::StateOf(platform::PathOf(report.where)) == platform::PathState::Link)) {
        reason = known ? "refused: " + at + " is a link or a mount point"
                       : "refused: a folder on the way is a link or a mount point";
    }
    if (report.nothingRestored) {
        reason = "nothing was restored: " + reason;
    }
    return Outcome(AppResult::Error, reason);
}

} // namespace steps

StepPlan PlanStep(Operation op, const std::string& package, const modGlobal::Roots& roots,
                  const RunOptions& options) {
    const steps::Step step = steps::StepFor(op, package, roots, options, 0);
    return {step.subject, steps::ReplacedBy(op, package, roots),
            steps::Refusal(op, package, step, roots)};
}

HistoryPlan PlanHistory(Operation op, const std::string& package, const modGlobal::Roots& roots,
                        const RunOptions& options, std::int64_t now) {
    HistoryPlan plan;
    std::vector<history::Entry> entries = history::List(roots, package);
    if (op == Operation::Backup) {
        bool same = false;
        const history::Latest last = history::LatestBackup(roots, package);
        if (platform::CompareTrees({roots.PackagesRoot(), {package, "Settings"}},
                                   {roots.BackupDir(), {package, "Settings"}}, same,
                                   last.readSince) == 0 &&
            same) {
            plan.unchanged = true;
            return plan;
        }
        if (last.exists) {
            plan.added = history::NewId(roots, package, last.time.value_or(now),
                                        last.time ? history::Kind::Backup : history::Kind::Undated);
        }
    } else if (op == Operation::Restore &&
               steps::IsFolderAt({roots.PackagesRoot(), {package, "Settings"}}) &&
               steps::IsFolderAt({roots.BackupDir(), {package}})) {
        plan.added = history::NewId(roots, package, now, history::Kind::BeforeRestore);
    }
    if (!plan.added.empty()) {
        entries.push_back(*history::ParseId(plan.added));
    }
    plan.removed =
        history::Expired(entries, options.policy, now, steps::Protected(options, plan.added));
    return plan;
}

} // namespace operations
