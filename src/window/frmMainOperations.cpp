// The operations on ticked apps as the window runs them: the question, a fresh status
// list, the app being worked on made current, captions, and the pacing between lines.
// What happens to the files and which lines are written is the core run frame's.
#include "operations/RunFrame.h"
#include "platform/Platform.h"
#include "window/frmMain.h"

#include <QApplication>
#include <QEvent>
#include <QProgressDialog>
#include <QThread>
#include <chrono>
#include <future>

namespace window {

using operations::Operation;

namespace {
// A run that takes longer than this shows a progress dialog, as the shell's own
// progress window would.
constexpr qint64 kProgressAfterMs = 500;
} // namespace

// Drops the clicks, keys and wheel turns made during a run. The run leaves them queued
// (PumpRun takes no user input), and DropHeldInput empties the queue with this filter on.
// It rests on nothing but that: not on which buttons the platform says are held, which
// can stay "held" (under Wine the release of a click can go to a system message box),
// so a filter waiting for that release would drop every click from then on. A release
// that comes after the run, of a press dropped here, finds no press to complete.
class RunInputDrop : public QObject {
public:
    using QObject::QObject;
    void DropHeldInput() {
        // What the system still queues for the window (on Windows) is taken out before Qt
        // reads it; what Qt has taken in already goes through the filter.
        platform::DiscardQueuedInput();
        QCoreApplication::instance()->installEventFilter(this);
        QCoreApplication::processEvents();
        QCoreApplication::instance()->removeEventFilter(this);
    }

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        switch (event->type()) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonRelease:
        case QEvent::MouseButtonDblClick:
        case QEvent::KeyPress:
        case QEvent::KeyRelease:
        case QEvent::Wheel:
        case QEvent::ContextMenu:
            return event->spontaneous(); // the program's own events are no user input
        default:
            return false;
        }
    }
};

// The window's side of one run: rows[i] is the list row of the run's app i.
class WindowRunHost : public operations::RunHost {
public:
    WindowRunHost(frmMain& form, Operation op, std::vector<int> rows)
        : form_(form), op_(op), texts_(operations::TextsOf(op)), rows_(std::move(rows)) {}

    void AddLine(const std::string& line, bool status) override {
        VbList* list = form_.lstStatus;
        list->AddItem(line);
        list->SetListIndex(list->ListCount() - 1);
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
    }
    void AppFinished(std::size_t) override {
        if (texts_.captionAfterEachApp) {
            form_.lblStatus->SetCaption(texts_.completion);
        }
    }
    void LoopFinished() override { form_.lblStatus->SetCaption(texts_.completion); }
    int FileOperation(const std::function<int()>& work) override {
        return form_.RunFileOperation(work);
    }

private:
    frmMain& form_;
    Operation op_;
    const operations::OperationTexts& texts_;
    std::vector<int> rows_;
};

// ---- Keeping the window alive during a run ----

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
    // The clicks and keys made during the run were held back by PumpRun. They are read
    // now and dropped, so none acts on the window as it is after the run (a click where
    // "Hard Reset" was would start it). A close asked for during the run is no click: it
    // goes through here, and the window closes now that the run is over.
    if (dropInput_ == nullptr) {
        dropInput_ = new RunInputDrop(this);
    }
    dropInput_->DropHeldInput();
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
    // Paint and tick, but hold the user's clicks and keys back until the run has ended
    // (EndRun drops them), so a second run can never start inside this one.
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
    if (texts.fromOptionsPanel && op != Operation::ClearAppStoreCache) {
        PicResetOptions_Click();
    }
    std::vector<operations::App> apps;
    std::vector<int> rows;
    if (op != Operation::ClearAppStoreCache) {
        ForEachTickedApp([&](const TickedApp& app) {
            apps.push_back({app.package, app.display});
            rows.push_back(app.index);
        });
    }
    WindowRunHost host(*this, op, std::move(rows));
    operations::Run(op, apps, roots_, services_.clock, services_.launcher, host);
    EndRun();
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
