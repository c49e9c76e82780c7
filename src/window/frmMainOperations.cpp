// The operations on ticked apps as the window runs them: the question, a fresh status
// list, the app being worked on made current, captions, and the pacing between lines.
// What happens to the files and which lines are written is the core run frame's.
#include "operations/RunFrame.h"
#include "operations/StatusText.h"
#include "platform/Platform.h"
#include "window/frmMain.h"
#include "window/modUI.h"

#include <QApplication>
#include <QEvent>
#include <QLocale>
#include <QPointer>
#include <QProgressDialog>
#include <QThread>
#include <QWindow>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <mutex>

namespace window {

using operations::Operation;

namespace {
// A run that takes longer than this shows a progress dialog, as the shell's own
// progress window would.
constexpr qint64 kProgressAfterMs = 500;
} // namespace

// Drops the clicks, keys and wheel turns made during a run. Until the progress dialog is
// up the run leaves them queued (PumpRun takes no user input), and DropHeldInput empties
// that queue with this filter on; once the dialog is up the run takes all events, and the
// filter drops the window's as they come while `pass` (the dialog with its Cancel) keeps
// its own. It rests on nothing else: not on which buttons the platform says are held,
// which can stay "held" (under Wine the release of a click can go to a system message
// box), so a filter waiting for that release would drop every click from then on. A
// release that comes after the run, of a press dropped here, finds no press to complete.
class RunInputDrop : public QObject {
public:
    using QObject::QObject;
    void Begin(QWidget* pass) {
        pass_ = pass;
        On(true);
    }
    void DropHeldInput() {
        pass_ = nullptr;
        // What the system still queues for the window (on Windows) is taken out before Qt
        // reads it; what Qt has taken in already goes through the filter.
        platform::DiscardQueuedInput();
        On(true);
        QCoreApplication::processEvents();
        On(false);
    }

protected:
    bool eventFilter(QObject* receiver, QEvent* event) override {
        switch (event->type()) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonRelease:
        case QEvent::MouseButtonDblClick:
        case QEvent::KeyPress:
        case QEvent::KeyRelease:
        case QEvent::Wheel:
        case QEvent::ContextMenu:
            break;
        default:
            return false;
        }
        if (!event->spontaneous()) {
            return false; // the program's own events are no user input
        }
        if (pass_ != nullptr) {
            const auto* widget = qobject_cast<QWidget*>(receiver);
            if (receiver == static_cast<QObject*>(pass_->windowHandle()) ||
                (widget != nullptr && widget->window() == pass_)) {
                return false;
            }
        }
        return true;
    }

private:
    void On(bool on) {
        if (on != on_) {
            on ? QCoreApplication::instance()->installEventFilter(this)
               : QCoreApplication::instance()->removeEventFilter(this);
            on_ = on;
        }
    }
    bool on_ = false;
    QPointer<QWidget> pass_;
};

// The window's side of one run: rows[i] is the list row of the run's app i, names[i] the
// name it is shown by.
class WindowRunHost : public operations::RunHost {
public:
    WindowRunHost(frmMain& form, Operation op, std::vector<int> rows,
                  std::vector<std::string> names = {})
        : form_(form), op_(op), texts_(operations::TextsOf(op)), rows_(std::move(rows)),
          names_(std::move(names)) {
        form_.runHost_ = this;
    }
    ~WindowRunHost() override { form_.runHost_ = nullptr; }
    WindowRunHost(const WindowRunHost&) = delete;
    WindowRunHost& operator=(const WindowRunHost&) = delete;

    void AddLine(const std::string& line, bool status) override {
        VbList* list = form_.lstStatus;
        list->AddItem(line);
        list->SetListIndex(list->ListCount() - 1);
        if (status && line.ends_with(operations::kError)) {
            // Its "<Error>" may lie past the list's right edge: the colour shows at once.
            list->SetColour(list->ListCount() - 1, modUI::ErrorColour());
        }
        if (status) {
            // Lines appear while the run goes on: paint now, then the short pause.
            list->repaint();
            QThread::msleep(10);
            form_.PumpRun();
        }
    }
    void HeaderWritten() override {
        // The store-cache run writes its header before the options panel closes.
        if (op_ == Operation::ClearAppStoreCache) {
            form_.PicResetOptions_Click();
        }
    }
    void AppStarting(std::size_t index) override {
        form_.lstAppsHidden->SetListIndex(rows_[index]);
        const std::lock_guard lock(mutex_);
        current_ = index;
        done_ = total_ = {};
    }
    void AppFinished(std::size_t) override {
        ++finished_;
        if (texts_.captionAfterEachApp) {
            form_.lblStatus->SetCaption(Caption());
        }
    }
    // The statistics' rule comes next, then the count.
    void LoopFinished() override {
        countRow = form_.lstStatus->ListCount() + 1;
        form_.lblStatus->SetCaption(Caption());
    }
    int countRow = -1;
    int FileOperation(const std::function<int()>& work) override {
        return form_.RunFileOperation(work);
    }
    // The walk that measures an app before its work is cheap beside the work itself, and
    // only a total lets the dialog say how far the work has come.
    bool WantsTotals() override { return true; }
    void Progress(const platform::TreeSize& done, const platform::TreeSize& total) override {
        std::size_t current = 0;
        {
            const std::lock_guard lock(mutex_);
            done_ = done;
            total_ = total;
            current = current_;
        }
        if (form_.onRunProgress) {
            form_.onRunProgress(current);
        }
    }
    bool StopRequested() override { return stop_; }
    void Stop() { stop_ = true; }

    // Brings the progress dialog up to date: the app being worked on, its files (and bytes,
    // for a copy) done of its total, and the apps done of those ticked.
    void ShowProgress(QProgressDialog& dialog) const {
        platform::TreeSize done;
        platform::TreeSize total;
        std::size_t current = 0;
        {
            const std::lock_guard lock(mutex_);
            done = done_;
            total = total_;
            current = current_;
        }
        const bool copy = op_ == Operation::Backup || op_ == Operation::Restore;
        const QLocale locale;
        const auto size = [&](std::uint64_t bytes) {
            return locale.formattedDataSize(static_cast<qint64>(bytes), 1,
                                            QLocale::DataSizeIecFormat);
        };
        QString text = "Working on the selected apps ...";
        if (current < names_.size()) {
            text += "\n" + QString::fromStdString(names_[current]);
            if (total.files > 0) {
                text += QString("\n%1 of %2 files")
                            .arg(locale.toString(static_cast<qulonglong>(done.files)),
                                 locale.toString(static_cast<qulonglong>(total.files)));
                if (copy) {
                    text += QString(", %1 of %2").arg(size(done.bytes), size(total.bytes));
                }
            }
            text += QString("\n%1 of %2 apps done").arg(finished_).arg(names_.size());
            // The bar runs once over the whole run: the apps done and the share of the one
            // going.
            const double share =
                copy ? (total.bytes > 0
                            ? static_cast<double>(done.bytes) / static_cast<double>(total.bytes)
                            : 0.0)
                     : (total.files > 0
                            ? static_cast<double>(done.files) / static_cast<double>(total.files)
                            : 0.0);
            dialog.setMaximum(1000);
            dialog.setValue(static_cast<int>(
                1000 * (static_cast<double>(finished_) + std::clamp(share, 0.0, 1.0)) /
                static_cast<double>(names_.size())));
        }
        if (stop_) {
            text += "\nStopping ...";
        }
        if (dialog.labelText() != text) {
            dialog.setLabelText(text);
        }
    }

private:
    // Once Cancel is pressed the run is no longer complete, whatever is left of it.
    const char* Caption() const { return stop_ ? texts_.cancelled : texts_.completion; }

    frmMain& form_;
    Operation op_;
    const operations::OperationTexts& texts_;
    std::vector<int> rows_;
    std::vector<std::string> names_;
    std::size_t finished_ = 0;
    std::atomic<bool> stop_ = false;
    // Written by the thread that runs the work, read by the window's.
    mutable std::mutex mutex_;
    std::size_t current_ = 0;
    platform::TreeSize done_;
    platform::TreeSize total_;
};

// ---- Keeping the window alive during a run ----

void frmMain::BeginRun() {
    running_ = true;
    runClock_.start();
    // The count a run reports is the package list's ticks; bring them in step now rather
    // than trust that a tick has already run since the user's last click.
    CopyTicksToPackageList();
    HoldInput(this, true);
    if (dropInput_ == nullptr) {
        dropInput_ = new RunInputDrop(this);
    }
}

void frmMain::EndRun() {
    running_ = false;
    HoldInput(this, false);
    if (progress_ != nullptr) {
        progress_->hide();
        progress_->deleteLater();
        progress_ = nullptr;
    }
    // The clicks and keys made during the run were held back by PumpRun (once the progress
    // dialog is up, they are dropped as they come). They are read now and dropped, so none
    // acts on the window as it is after the run (a click where "Hard Reset" was would start
    // it). A close asked for during the run is no click: it goes through here, and the
    // window closes now that the run is over; so does one that came while the progress
    // dialog took its input.
    dropInput_->DropHeldInput();
    if (closeAfterRun_) {
        closeAfterRun_ = false;
        close();
    }
}

void frmMain::PumpRun() {
    if (!running_) {
        return;
    }
    if (progress_ == nullptr && runClock_.elapsed() > kProgressAfterMs) {
        progress_ = new QProgressDialog("Working on the selected apps ...", "Cancel", 0, 0, this);
        progress_->setObjectName("progress");
        progress_->setWindowTitle(windowTitle());
        progress_->setMinimumDuration(0);
        progress_->setAutoReset(false);
        progress_->setAutoClose(false);
        // Cancel asks the run to stop at its next safe point; the dialog stays up, saying
        // so, until the run has.
        disconnect(progress_, &QProgressDialog::canceled, progress_, nullptr);
        connect(progress_, &QProgressDialog::canceled, this, [this] {
            if (runHost_ != nullptr) {
                runHost_->Stop();
            }
        });
        progress_->show();
        // From here the dialog takes its own clicks and keys, the window's are dropped as
        // they come, and a close of the window waits for the end of the run (closeEvent).
        // The dialog is not modal: a modal one would make the window system throw that
        // close away.
        dropInput_->Begin(progress_);
    }
    if (progress_ != nullptr && runHost_ != nullptr) {
        runHost_->ShowProgress(*progress_);
    }
    // Paint and tick. Until the dialog is up, the user's clicks and keys are held back
    // until the run has ended (EndRun drops them), so a second run can never start inside
    // this one.
    QCoreApplication::processEvents(progress_ != nullptr ? QEventLoop::AllEvents
                                                         : QEventLoop::ExcludeUserInputEvents);
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

// ---- The operations ----

void frmMain::RunOperation(Operation op, VbLabel* label) {
    if (running_) {
        return;
    }
    CopyTicksToPackageList();
    const operations::OperationTexts& texts = operations::TextsOf(op);
    const std::string prompt = operations::Prompt(op, lstApps->SelCount(), roots_);
    if (services_.questions.Ask(prompt, services::MB_YESNO | texts.icon,
                                label->Caption().toStdString()) != services::IDYES) {
        return;
    }
    BeginRun();
    lstStatus->Clear();
    lblStatus->SetCaption("");
    modUI::SetCaptionColour(lblStatus, std::nullopt);
    if (texts.fromOptionsPanel && op != Operation::ClearAppStoreCache) {
        PicResetOptions_Click();
    }
    std::vector<operations::App> apps;
    std::vector<int> rows;
    std::vector<std::string> names;
    if (op != Operation::ClearAppStoreCache) {
        ForEachTickedApp([&](const TickedApp& app) {
            apps.push_back({app.package, app.display});
            rows.push_back(app.index);
            names.push_back(app.display);
        });
    }
    WindowRunHost host(*this, op, std::move(rows), std::move(names));
    const operations::RunResult result =
        operations::Run(op, apps, roots_, services_.clock, services_.launcher, host);
    ShowOutcome(result, host.countRow);
    EndRun();
}

void frmMain::ShowOutcome(const operations::RunResult& result, int countRow) {
    // App i's status line follows the header line; a failed log save's line is the last.
    for (std::size_t i = 0; i < result.outcomes.size(); ++i) {
        if (result.outcomes[i].result != operations::AppResult::Ok) {
            lstStatus->SetNote(static_cast<int>(i) + 1, result.outcomes[i].reason);
        }
    }
    if (!result.logSaved) {
        lstStatus->SetNote(lstStatus->ListCount() - 1, result.logReason);
    }
    if (result.failed > 0) {
        lstStatus->SetColour(countRow, modUI::ErrorColour());
        modUI::SetCaptionColour(lblStatus, modUI::ErrorColour());
    }
}

void frmMain::lblBackup_Click() {
    RunOperation(Operation::Backup, lblBackup);
}

void frmMain::lblRestore_Click() {
    RunOperation(Operation::Restore, lblRestore);
}

void frmMain::lblReset_Click() {
    RunOperation(Operation::Reset, lblReset);
}

void frmMain::lblHardReset_Click() {
    RunOperation(Operation::HardReset, lblHardReset);
}

void frmMain::lblClearAppCache_Click() {
    RunOperation(Operation::ClearAppCache, lblClearAppCache);
}

void frmMain::lblClearAppStoreCache_Click() {
    RunOperation(Operation::ClearAppStoreCache, lblClearAppStoreCache);
}

void frmMain::DeleteConfiguration() {
    BeginRun();
    lstStatus->Clear();
    lstAppsHidden->SetListIndex(-1);
    WindowRunHost host(*this, Operation::HardReset, {});
    operations::DeleteConfiguration(roots_, services_.clock, host);
    EndRun();
}

} // namespace window
