// Starts the program: the system's roots and services go in, the window's event loop
// takes over.
#include "locale/LocaleClock.h"
#include "window/QtServices.h"
#include "window/frmMain.h"
#include "window/modStart.h"

#include <QApplication>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    window::QtQuestions questions;
    window::DesktopLauncher launcher;
    regional::LocaleClock clock;
    const auto form = modStart::Main(modGlobal::Roots::FromSystem(),
                                     services::Services{questions, launcher, clock});
    if (!form) {
        return 0;
    }
    return app.exec();
}
