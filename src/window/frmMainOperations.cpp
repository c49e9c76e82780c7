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
    const bool saved = platform::ReplaceFile(roots_.LogFile(), modGlobal::CrLfLines(lines));
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

void frmMain::RunOverTickedApps(const RunValues& values, VbLabel* label, const std::string& prompt,
                                int icon, const std::function<void(const TickedApp&)>& perApp) {
    if (running_) {
        return;
    }
    if (!Confirm(services_.questions, prompt, icon, label)) {
        return;
    }
    BeginRun();
    lstStatus->Clear();
    lblStatus->SetCaption("");
    if (values.closesOptions) {
        PicResetOptions_Click();
    }
    AddStatusHeader(HeaderLine(values.titleLiteral, services_.clock.LongDate()));
    ForEachTickedApp([&](const TickedApp& app) {
        perApp(app);
        if (values.captionAfterEachApp) {
            lblStatus->SetCaption(values.completion);
        }
    });
    lblStatus->SetCaption(values.completion);
    for (const auto& line : StatisticsLines(values.countLabel, Count(lstApps->SelCount()))) {
        AddStatusHeader(line);
    }
    SaveStatusLog();
    EndRun();
}

void frmMain::lblBackup_Click() {
    if (running_) {
        return;
    }
    const std::string packagesRoot = roots_.PackagesRoot();
    CopyTicksToPackageList();
    const std::string prompt = "Do you want to run the Backup?\r\n(" + Count(lstApps->SelCount()) +
                               " Apps to " + roots_.BackupDir() + ")";
    const RunValues values{"Dittoly UA - Backup process - ", "Backup complete.",
                           "Total Apps backed up: ", false, false};
    RunOverTickedApps(
        values, lblBackup, prompt, services::MB_ICONINFORMATION, [&](const TickedApp& app) {
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
}

void frmMain::lblRestore_Click() {
    const std::string packagesRoot = roots_.PackagesRoot() + kSepStr;
    const RunValues values{"Dittoly UA - Restore process - ", "Restore complete.",
                           "Total Apps restored: ", false, false};
    RunOverTickedApps(values, lblRestore, "Do you want to run the Restoration?",
                      services::MB_ICONINFORMATION, [&](const TickedApp& app) {
                          lstAppsHidden->SetListIndex(app.index);
                          const std::string source =
                              roots_.BackupDir() + app.package + kSepStr + "Settings" + kSepStr;
                          const std::string destination = packagesRoot + app.package;
                          if (IsPlainFolderName(app.package)) {
                              modGlobal::CreateFolder(destination);
                              RestoreCopy(source, destination);
                          } else {
                              FileOperationLine(kWordRestore, source, destination, true, -1);
                          }
                      });
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

void frmMain::DeleteInEachTickedApp(const RunValues& values, VbLabel* label,
                                    const std::string& prompt, int icon, const std::string& word,
                                    void (frmMain::*deleteRoutine)(const std::string&),
                                    const std::string& tail, bool recreate) {
    const std::string packagesRoot = roots_.PackagesRoot();
    RunOverTickedApps(values, label, prompt, icon, [&](const TickedApp& app) {
        lstAppsHidden->SetListIndex(app.index);
        const std::string path = packagesRoot + kSepStr + app.package + tail;
        if (!IsPlainFolderName(app.package)) {
            FileOperationLine(word, path, {}, false, -1);
            return;
        }
        (this->*deleteRoutine)(path);
        if (recreate) {
            // One level only: a package folder that is gone is not brought back here.
            platform::MakeFolder(path);
        }
    });
}

void frmMain::lblReset_Click() {
    DeleteInEachTickedApp(
        {"Dittoly UA - Reset process - ", "Reset complete.", "Total Apps reseted: ", true, true},
        lblReset,
        "Do you want to Reset the configuration of selected apps to factory defaults?\r\n\r\n"
        "Following data will be deleted" +
            ItemLines({"- Settings files"}),
        services::MB_ICONINFORMATION, kWordReset, &frmMain::ResetDelete,
        std::string(kSepStr) + "Settings", false);
}

void frmMain::lblHardReset_Click() {
    DeleteInEachTickedApp(
        {"Dittoly UA - Hard Reset process - ", "Hard Reset complete.", "Total Apps reseted: ", true,
         true},
        lblHardReset,
        "Do you want to clear all data of selected apps?\r\n\r\nFollowing data will be deleted" +
            ItemLines({"- Settings files", "- App data", "- Preferences", "- sign-in details"}),
        services::MB_ICONEXCLAMATION, kWordHardReset, &frmMain::HardResetDelete, "", false);
}

void frmMain::lblClearAppCache_Click() {
    DeleteInEachTickedApp({"Dittoly UA - Clear App Cache process - ", "Clear App Cache complete.",
                           "Total Apps cleared: ", true, true},
                          lblClearAppCache, "Do you want to clear the app cache?",
                          services::MB_ICONINFORMATION, kWordClearAppCache,
                          &frmMain::ClearCacheDelete, std::string(kSepStr) + "LocalCache", true);
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
