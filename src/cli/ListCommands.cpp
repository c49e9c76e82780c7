// list and backups: the apps found under the packages folder, and for each app with a
// backup its latest one and its History. They only read; the lists of apps they build are
// also the ones the runs choose from.
#include "catalogue/modApps.h"
#include "cli/Commands.h"
#include "cli/Names.h"
#include "cli/Streams.h"
#include "common/CaseCompare.h"
#include "operations/History.h"
#include "operations/StatusText.h"
#include "platform/Platform.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>

namespace cli {

namespace history = operations::history;

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

// Every command but backups stops where the packages folder is missing, as the window does.
bool HasPackagesRoot(const modGlobal::Roots& roots) {
    if (modGlobal::FolderExists(roots.PackagesRoot())) {
        return true;
    }
    // The window's text as it is; the folder it looked for on a line of its own.
    Err(TerminalText(modGlobal::StopMessage()) + "\ndittoly-ua-cli: looked for " +
        roots.PackagesRoot() + '\n');
    return false;
}

std::string LeftOutReason(modApps::LeftOut why) {
    switch (why) {
    case modApps::LeftOut::Link:
        return "its package folder is a link, which is never followed";
    case modApps::LeftOut::NotAFolder:
        return "it is not a folder";
    default:
        return "its package folder cannot be read";
    }
}

void TellLeftOut(const std::vector<modApps::Skipped>& leftOut) {
    for (const auto& entry : leftOut) {
        Err("dittoly-ua-cli: left out " + EscapeName(entry.name) + ": " + LeftOutReason(entry.why) +
            '\n');
    }
}

std::vector<operations::App> DetectedApps(const modGlobal::Roots& roots,
                                          std::vector<modApps::Skipped>* leftOut) {
    std::vector<operations::App> apps;
    std::vector<modApps::Skipped> skipped;
    for (std::string& package : modApps::FindPackages(roots.PackagesRoot(), skipped)) {
        std::string display = modApps::PackageDisplayName(package);
        apps.push_back({std::move(package), std::move(display)});
    }
    if (leftOut != nullptr) {
        *leftOut = std::move(skipped);
    }
    return apps;
}

// The detected apps and those no longer installed that still have a backup or History, in
// the list's order.
std::vector<operations::App> AppsWithBackups(const modGlobal::Roots& roots,
                                             std::vector<modApps::Skipped>* leftOut) {
    std::vector<operations::App> apps = DetectedApps(roots, leftOut);
    const std::string backup = roots.BackupDir();
    platform::ListFolder(backup, [&](std::string_view entry, platform::EntryKind kind) {
        const std::string name(entry);
        const bool known = std::any_of(apps.begin(), apps.end(),
                                       [&](const auto& app) { return app.package == name; });
        const auto has = [&](const char* inside) {
            return platform::StateOf(backup + name + platform::kSepStr + inside) ==
                   platform::PathState::Folder;
        };
        if (kind == platform::EntryKind::Folder && !known && operations::IsPlainFolderName(name) &&
            (has("Settings") || has("History"))) {
            apps.push_back({name, modApps::PackageDisplayName(name)});
        }
        return true;
    });
    std::stable_sort(apps.begin(), apps.end(), [](const auto& a, const auto& b) {
        return modGlobal::LessIgnoringCase(a.package, b.package);
    });
    return apps;
}

std::string Json(const QJsonValue& value) {
    return (value.isArray() ? QJsonDocument(value.toArray()) : QJsonDocument(value.toObject()))
        .toJson(QJsonDocument::Indented)
        .toStdString();
}

int List(const std::vector<operations::App>& apps, bool json) {
    QJsonArray array;
    for (const auto& app : apps) {
        array.append(QJsonObject{{"display", cli::NameText(app.display)},
                                 {"package", cli::NameText(app.package)}});
        if (!json) {
            Out(cli::EscapeName(app.display) + '\t' + cli::EscapeName(app.package) + '\n');
        }
    }
    if (json) {
        Out(Json(array));
    }
    return kOk;
}

// The latest backup and the History of each app, newest first.
int Backups(const QStringList& names, bool json) {
    const modGlobal::Roots roots = modGlobal::Roots::FromSystem();
    std::string error;
    std::vector<modApps::Skipped> leftOut;
    auto apps = names.isEmpty() ? std::optional(AppsWithBackups(roots))
                                : Choose(AppsWithBackups(roots, &leftOut), names, error, leftOut);
    if (!apps) {
        return Usage(error);
    }
    const auto size = [](const platform::Below& at) {
        platform::TreeSize measured;
        platform::MeasureTree(at, measured);
        return measured;
    };
    const auto kindWord = [](history::Kind of) {
        return of == history::Kind::Backup          ? "backup"
               : of == history::Kind::BeforeRestore ? "before-restore"
                                                    : "undated";
    };
    QJsonArray array;
    for (const auto& app : *apps) {
        const history::Latest made = history::LatestBackup(roots, app.package);
        QJsonValue latest = QJsonValue::Null;
        if (made.exists) {
            const auto measured = size({roots.BackupDir(), {app.package, "Settings"}});
            latest = QJsonObject{{"time", made.time ? QJsonValue(QString::fromStdString(
                                                          history::IsoTime(*made.time)))
                                                    : QJsonValue(QJsonValue::Null)},
                                 {"files", static_cast<qint64>(measured.files)},
                                 {"bytes", static_cast<qint64>(measured.bytes)}};
        }
        QJsonArray entries;
        for (const auto& entry : history::List(roots, app.package)) {
            auto folder = history::EntryFolder(roots, app.package, entry.id);
            folder.names.push_back("Settings");
            const history::Holding held = history::Hold(folder);
            entries.append(
                QJsonObject{{"id", QString::fromStdString(entry.id)},
                            {"kind", kindWord(entry.kind)},
                            {"time", QString::fromStdString(history::IsoTime(entry.time))},
                            {"files", static_cast<qint64>(held.files)},
                            {"bytes", static_cast<qint64>(held.bytes)},
                            {"own-bytes", static_cast<qint64>(held.own)}});
        }
        array.append(
            QJsonObject{{"package", cli::NameText(app.package)},
                        {"display", cli::NameText(app.display)},
                        {"latest", latest},
                        {"history", entries},
                        {"disk-bytes", static_cast<qint64>(history::DiskBytes(roots, app.package))},
                        {"leftovers", Ids(history::Leftovers(roots, app.package))}});
    }
    if (json) {
        Out(Json(array));
        return kOk;
    }
    // One block per app: its names, then a row per backup, tab-separated for scripts.
    for (const auto& value : array) {
        const QJsonObject app = value.toObject();
        const auto row = [](const QString& id, const QString& kind, const QJsonObject& facts) {
            Out("  " + id.toStdString() + '\t' + kind.toStdString() + '\t' +
                (facts["time"].isNull() ? std::string("time unknown")
                                        : facts["time"].toString().toStdString()) +
                '\t' + Counted(static_cast<std::uint64_t>(facts["files"].toInteger()), "file") +
                '\t' + Size(static_cast<std::uint64_t>(facts["bytes"].toInteger())) +
                (facts.contains("own-bytes")
                     ? '\t' + Size(static_cast<std::uint64_t>(facts["own-bytes"].toInteger())) +
                           " its own"
                     : std::string()) +
                '\n');
        };
        Out(app["display"].toString().toStdString() + '\t' +
            app["package"].toString().toStdString() + '\n');
        if (app["latest"].isObject()) {
            row("latest", "backup", app["latest"].toObject());
        } else {
            Out("  no backup\n");
        }
        for (const auto& entry : app["history"].toArray()) {
            const QJsonObject facts = entry.toObject();
            row(facts["id"].toString(), facts["kind"].toString(), facts);
        }
        Out("  disk use: " + Size(static_cast<std::uint64_t>(app["disk-bytes"].toInteger())) +
            " (a file that backups share counted once)\n");
        const QJsonArray leftovers = app["leftovers"].toArray();
        if (!leftovers.isEmpty()) {
            std::string left;
            for (const auto& name : leftovers) {
                left += (left.empty() ? "" : ", ") + name.toString().toStdString();
            }
            Out("  left by interrupted runs (the next backup or restore clears it): " + left +
                '\n');
        }
    }
    return kOk;
}

} // namespace cli
