#include "WindowFixture.h"

#include "window/modStart.h"

#include <QApplication>
#include <QElapsedTimer>
#include <algorithm>
#include <chrono>
#include <stdexcept>

namespace testsupport {

std::vector<std::string> Rows(const window::VbList* list) {
    std::vector<std::string> rows;
    for (int i = 0; i < list->ListCount(); ++i) {
        rows.push_back(list->List(i).toStdString());
    }
    return rows;
}

std::vector<int> TickedRows(const window::VbList* list) {
    std::vector<int> rows;
    for (int i = 0; i < list->ListCount(); ++i) {
        if (list->Selected(i)) {
            rows.push_back(i);
        }
    }
    return rows;
}

RunGate::RunGate(window::frmMain& form, std::size_t app) : form_(form) {
    form_.onRunProgress = [this, app](std::size_t current) {
        std::unique_lock lock(mutex_);
        if (current != app || open_) {
            return;
        }
        waiting_ = true;
        changed_.wait_for(lock, std::chrono::minutes(1), [this] { return open_ || let_ > 0; });
        waiting_ = false;
        let_ = std::max(let_ - 1, 0);
    };
}

RunGate::~RunGate() {
    Open();
    form_.onRunProgress = nullptr;
}

void RunGate::Let(int reports) {
    {
        const std::lock_guard lock(mutex_);
        let_ += reports;
    }
    changed_.notify_all();
}

void RunGate::Open() {
    {
        const std::lock_guard lock(mutex_);
        open_ = true;
    }
    changed_.notify_all();
}

bool RunGate::Waiting() {
    const std::lock_guard lock(mutex_);
    return waiting_ && let_ == 0;
}

void WindowTest::Start() {
    form = modStart::Main(profile.roots(), services.Get());
    if (!form) {
        throw std::runtime_error("the program ended at start instead of showing its window");
    }
    Tick();
}

void WindowTest::Tick() {
    QApplication::processEvents();
    form->Timer1_Timer();
    QApplication::processEvents();
}

void WindowTest::WaitForTimer() {
    QElapsedTimer clock;
    clock.start();
    do {
        QApplication::processEvents(QEventLoop::AllEvents, 5);
    } while (form->Timer1->isActive() && clock.elapsed() < 2000);
}

void WindowTest::StartAndSearch() {
    Start();
    form->lblSearch_Click();
    Tick();
}

void WindowTest::TickApp(const std::string& display) {
    const auto rows = Rows(form->lstAppsHidden);
    const auto row = std::find(rows.begin(), rows.end(), display);
    ASSERT_NE(row, rows.end()) << "no app shown as " << display;
    form->lstAppsHidden->SetSelected(static_cast<int>(row - rows.begin()), true);
    Tick();
}

void WindowTest::Close() {
    form->close();
    QApplication::processEvents();
}

void WindowTest::Restart() {
    Close();
    form.reset();
    Start();
}

} // namespace testsupport
