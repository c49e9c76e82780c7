// The operations on ticked apps, in the one frame they share: confirmation, a fresh
// status list, a header, one line per app, statistics and the log file.
#include "operations/StatusText.h"
#include "platform/Platform.h"
#include "window/frmMain.h"

#include <QApplication>
#include <QProgressDialog>
#include <QThread>
#include <chrono>
#include <future>

namespace window {

using namespace operations;
using platform::kSepStr;

namespace {
// A run that takes longer than this shows a progress dialog, as the shell's own
// progress window would.
constexpr qint64 kProgressAfterMs = 500;
} // namespace

// ---- The run frame ----

void frmMain::BeginRun() {
    running_ = true;
    runClock_.start();
    // The count a run reports is the package list's ticks; bring them in step now rather
    // than trust that a tick has already run since the user's last click.
    CopyTicksToPackageList();
}

void frmMain::EndRun() {
    running_ = false;
    if (progress_ != nullptr) {
        progress_->hide();
        progress_->deleteLater();
        progress_ = nullptr;
    }
}

void frmMain::PumpRun() {
    if (!running_) {
        return;
    }
    if (progress_ == nullptr && runClock_.elapsed() > kProgressAfterMs) {
        progress_ = new QProgressDialog("Working on the selected apps ...", QString(), 0, 0, this);
        progress_->setObjectName("progress");
        progress_->setWindowTitle(windowTitle());
        progress_->setWindowModality(Qt::WindowModal);
        progress_->setMinimumDuration(0);
        progress_->show();
    }
    // Paint and tick, but keep the user's clicks and keys until the run has ended, so a
    // second run can never start inside this one.
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

int frmMain::RunFileOperation(const std::function<int()>& operation) {
    if (!running_) {
        return operation();
    }
    // The copy or delete runs beside the window's thread; it touches only the file
    // system, while this thread keeps the window and the progress dialog painted.
    auto pending = std::async(std::launch::async, operation);
    while (pending.wait_for(std::chrono::milliseconds(15)) != std::future_status::ready) {
        PumpRun();
    }
    return pending.get();
}

void frmMain::AddStatusLine(const std::string& text) {
    lstStatus->AddItem(QString::fromStdString(StampedLine(services_.clock.TimeOfDay(), text)));
    lstStatus->SetListIndex(lstStatus->ListCount() - 1);
    // Lines appear while the run goes on: paint now, then the short pause between lines.
    lstStatus->repaint();
    QThread::msleep(10);
    PumpRun();
}

void frmMain::AddStatusHeader(const std::string& text) {
    lstStatus->AddItem(QString::fromStdString(text));
    lstStatus->SetListIndex(lstStatus->ListCount() - 1);
}

void frmMain::SaveStatusLog() {
    if (!modGlobal::FolderExists(roots_.BackupDir())) {
        return;
    }
    std::vector<std::string> lines;
    lines.reserve(static_cast<std::size_t>(lstStatus->ListCount()));
    for (int i = 0; i < lstStatus->ListCount(); ++i) {
        lines.push_back(lstStatus->List(i).toStdString());
    }
    const bool saved = platform::ReplaceFile(roots_.LogFile(), CrLfLines(lines));
    AddStatusLine(LogSavedLine(roots_.BackupDir(), saved));
}

namespace {
std::string Count(int n) {
    return std::to_string(n);
}
} // namespace

// ---- The five file operations: one copy or delete and one status line each ----

void frmMain::FileOperationLine(const std::string& word, const std::string& source,
                                const std::string& destination, bool copy, int result) {
    const std::string app = lstAppsHidden->Text().toStdString();
    AddStatusLine(copy ? CopyLine(app, word, source, destination, result == 0)
                       : DeleteLine(app, word, source, result == 0));
}

void frmMain::BackupCopy(const std::string& source, const std::string& destination) {
    const int result = RunFileOperation([&] { return platform::CopyTree(source, destination); });
    FileOperationLine(kWordBackup, source, destination, true, result);
}

void frmMain::RestoreCopy(const std::string& source, const std::string& destination) {
    const int result = RunFileOperation([&] { return platform::CopyTree(source, destination); });
    FileOperationLine(kWordRestore, source, destination, true, result);
}

void frmMain::ResetDelete(const std::string& path) {
    const int result = RunFileOperation([&] { return platform::RemoveTree(path); });
    FileOperationLine(kWordReset, path, {}, false, result);
}

void frmMain::HardResetDelete(const std::string& path) {
    const int result = RunFileOperation([&] { return platform::RemoveTree(path); });
    FileOperationLine(kWordHardReset, path, {}, false, result);
}

void frmMain::ClearCacheDelete(const std::string& path) {
    const int result = RunFileOperation([&] { return platform::RemoveTree(path); });
    FileOperationLine(kWordClearAppCache, path, {}, false, result);
}

// ---- The operations ----
//
// A package name comes from a folder listing or from the hand-editable app list. One
// that is not a single plain folder name is refused before any folder is created,
// copied or deleted: its line reads as usual and ends in "<Error>".

namespace {
bool Confirm(services::Questions& questions, const std::string& prompt, int icon,
             const VbLabel* label) {
    return questions.Ask(prompt, services::MB_YESNO | icon, label->Caption().toStdString()) ==
           services::IDYES;
}
} // namespace

void frmMain::lblBackup_Click() {
    if (running_) {
        return;
    }
    const std::string packagesRoot = roots_.PackagesRoot();
    CopyTicksToPackageList();
    const int selected = lstApps->SelCount();
    const std::string prompt = "Do you want to run the Backup?\r\n(" + Count(selected) +
                               " Apps to " + roots_.BackupDir() + ")";
    if (!Confirm(services_.questions, prompt, services::MB_ICONINFORMATION, lblBackup)) {
        return;
    }
    BeginRun();
    lstStatus->Clear();
    lblStatus->SetCaption("");
    AddStatusHeader(HeaderLine("Dittoly UA - Backup process - ", services_.clock.LongDate()));
    ForEachTickedApp([&](const TickedApp& app) {
        const std::string source =
            packagesRoot + kSepStr + app.package + kSepStr + "Settings" + kSepStr;
        const std::string destination = roots_.BackupDir() + app.package + kSepStr;
        const bool plain = IsPlainFolderName(app.package);
        if (plain) {
            modGlobal::CreateFolder(roots_.BackupDir() + app.package);
        }
        lstAppsHidden->SetListIndex(app.index);
        if (plain) {
            BackupCopy(source, destination);
        } else {
            FileOperationLine(kWordBackup, source, destination, true, -1);
        }
    });
    lblStatus->SetCaption("Backup complete.");
    for (const auto& line : StatisticsLines("Total Apps backed up: ", Count(lstApps->SelCount()))) {
        AddStatusHeader(line);
    }
    SaveStatusLog();
    EndRun();
}

void frmMain::lblRestore_Click() {
    if (running_) {
        return;
    }
    const std::string packagesRoot = roots_.PackagesRoot() + kSepStr;
    if (!Confirm(services_.questions, "Do you want to run the Restoration?",
                 services::MB_ICONINFORMATION, lblRestore)) {
        return;
    }
    BeginRun();
    lstStatus->Clear();
    lblStatus->SetCaption("");
    AddStatusHeader(HeaderLine("Dittoly UA - Restore process - ", services_.clock.LongDate()));
    ForEachTickedApp([&](const TickedApp& app) {
        lstAppsHidden->SetListIndex(app.index);
        const std::string source =
            roots_.BackupDir() + app.package + kSepStr + "Settings" + kSepStr;
        const std::string destination = packagesRoot + app.package;
        if (IsPlainFolderName(app.package)) {
            modGlobal::CreateFolder(packagesRoot + app.package);
            RestoreCopy(source, destination);
        } else {
            FileOperationLine(kWordRestore, source, destination, true, -1);
        }
    });
    lblStatus->SetCaption("Restore complete.");
    for (const auto& line : StatisticsLines("Total Apps restored: ", Count(lstApps->SelCount()))) {
        AddStatusHeader(line);
    }
    SaveStatusLog();
    EndRun();
}

namespace {
std::string ItemLines(std::initializer_list<const char*> items) {
    std::string text;
    for (const char* item : items) {
        text += "\r\n" + UpperCase(item);
    }
    return text;
}
} // namespace

void frmMain::lblReset_Click() {
    if (running_) {
        return;
    }
    const std::string packagesRoot = roots_.PackagesRoot();
    const std::string prompt =
        "Do you want to Reset the configuration of selected apps to factory defaults?\r\n\r\n"
        "Following data will be deleted" +
        ItemLines({"- Settings files"});
    if (!Confirm(services_.questions, prompt, services::MB_ICONINFORMATION, lblReset)) {
        return;
    }
    BeginRun();
    lstStatus->Clear();
    lblStatus->SetCaption("");
    PicResetOptions_Click();
    AddStatusHeader(HeaderLine("Dittoly UA - Reset process - ", services_.clock.LongDate()));
    ForEachTickedApp([&](const TickedApp& app) {
        lstAppsHidden->SetListIndex(app.index);
        const std::string path = packagesRoot + kSepStr + app.package + kSepStr + "Settings";
        if (IsPlainFolderName(app.package)) {
            ResetDelete(path);
        } else {
            FileOperationLine(kWordReset, path, {}, false, -1);
        }
        lblStatus->SetCaption("Reset complete.");
    });
    lblStatus->SetCaption("Reset complete.");
    for (const auto& line : StatisticsLines("Total Apps reseted: ", Count(lstApps->SelCount()))) {
        AddStatusHeader(line);
    }
    SaveStatusLog();
    EndRun();
}

void frmMain::lblHardReset_Click() {
    if (running_) {
        return;
    }
    const std::string packagesRoot = roots_.PackagesRoot();
    const std::string prompt =
        "Do you want to clear all data of selected apps?\r\n\r\nFollowing data will be deleted" +
        ItemLines({"- Settings files", "- App data", "- Preferences", "- sign-in details"});
    if (!Confirm(services_.questions, prompt, services::MB_ICONEXCLAMATION, lblHardReset)) {
        return;
    }
    BeginRun();
    lstStatus->Clear();
    lblStatus->SetCaption("");
    PicResetOptions_Click();
    AddStatusHeader(HeaderLine("Dittoly UA - Hard Reset process - ", services_.clock.LongDate()));
    ForEachTickedApp([&](const TickedApp& app) {
        lstAppsHidden->SetListIndex(app.index);
        const std::string path = packagesRoot + kSepStr + app.package;
        if (IsPlainFolderName(app.package)) {
            HardResetDelete(path);
        } else {
            FileOperationLine(kWordHardReset, path, {}, false, -1);
        }
        lblStatus->SetCaption("Hard Reset complete.");
    });
    lblStatus->SetCaption("Hard Reset complete.");
    for (const auto& line : StatisticsLines("Total Apps reseted: ", Count(lstApps->SelCount()))) {
        AddStatusHeader(line);
    }
    SaveStatusLog();
    EndRun();
}

void frmMain::lblClearAppCache_Click() {
    if (running_) {
        return;
    }
    const std::string packagesRoot = roots_.PackagesRoot();
    if (!Confirm(services_.questions, "Do you want to clear the app cache?",
                 services::MB_ICONINFORMATION, lblClearAppCache)) {
        return;
    }
    BeginRun();
    lstStatus->Clear();
    lblStatus->SetCaption("");
    PicResetOptions_Click();
    AddStatusHeader(
        HeaderLine("Dittoly UA - Clear App Cache process - ", services_.clock.LongDate()));
    ForEachTickedApp([&](const TickedApp& app) {
        lstAppsHidden->SetListIndex(app.index);
        const std::string path = packagesRoot + kSepStr + app.package + kSepStr + "LocalCache";
        if (IsPlainFolderName(app.package)) {
            ClearCacheDelete(path);
            // One level only: a package folder that is gone is not brought back here.
            platform::MakeFolder(path);
        } else {
            FileOperationLine(kWordClearAppCache, path, {}, false, -1);
        }
        lblStatus->SetCaption("Clear App Cache complete.");
    });
    lblStatus->SetCaption("Clear App Cache complete.");
    for (const auto& line : StatisticsLines("Total Apps cleared: ", Count(lstApps->SelCount()))) {
        AddStatusHeader(line);
    }
    SaveStatusLog();
    EndRun();
}

void frmMain::lblClearAppStoreCache_Click() {
    if (running_) {
        return;
    }
    if (!Confirm(services_.questions, "Do you want to clear the app store cache?",
                 services::MB_ICONINFORMATION, lblClearAppStoreCache)) {
        return;
    }
    BeginRun();
    lstStatus->Clear();
    lblStatus->SetCaption("");
    AddStatusHeader(
        HeaderLine("Dittoly UA - Clear App Store Cache process - ", services_.clock.LongDate()));
    PicResetOptions_Click();
    // The tool's own outcome is never observed; only whether it could be started.
    const bool started = services_.launcher.StartStoreCacheReset();
    AddStatusLine(std::string("Clear App Store Cache ") + (started ? kOk : kError));
    lblStatus->SetCaption("Clear App Store Cache complete.");
    for (const auto& line : StatisticsLines("Total Apps cleared: ", "Clear App Store Cache")) {
        AddStatusHeader(line);
    }
    EndRun();
}

} // namespace window
