#include "WindowFixture.h"

#include "window/modStart.h"

#include <QApplication>

namespace testsupport {

void WindowTest::Start() {
    form = modStart::Main(profile.roots(), services.Get());
    Tick();
}

void WindowTest::Tick() {
    QApplication::processEvents();
    if (form) {
        form->Timer1_Timer();
    }
    QApplication::processEvents();
}

void WindowTest::StartAndSearch() {
    Start();
    ASSERT_TRUE(form);
    form->lblSearch_Click();
    Tick();
}

void WindowTest::TickApp(const std::string& display, bool ticked) {
    for (int i = 0; i < form->lstAppsHidden->ListCount(); ++i) {
        if (form->lstAppsHidden->List(i).toStdString() == display) {
            form->lstAppsHidden->SetSelected(i, ticked);
            Tick();
            return;
        }
    }
    ADD_FAILURE() << "no app shown as " << display;
}

std::vector<std::string> WindowTest::StatusLines() const {
    std::vector<std::string> lines;
    for (int i = 0; i < form->lstStatus->ListCount(); ++i) {
        lines.push_back(form->lstStatus->List(i).toStdString());
    }
    return lines;
}

void WindowTest::Close() {
    form->close();
    QApplication::processEvents();
}

} // namespace testsupport
