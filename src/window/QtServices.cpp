#include "window/QtServices.h"

#include "platform/Platform.h"

#include <QApplication>
#include <QDesktopServices>
#include <QMessageBox>
#include <QUrl>

namespace window {

int QtQuestions::Ask(const std::string& prompt, int style, const std::string& title) {
    QMessageBox box(QApplication::activeWindow());
    box.setWindowTitle(QString::fromStdString(title));
    box.setText(QString::fromStdString(prompt));
    switch (style & 0xF0) {
    case services::MB_ICONSTOP:
        box.setIcon(QMessageBox::Critical);
        break;
    case services::MB_ICONEXCLAMATION:
        box.setIcon(QMessageBox::Warning);
        break;
    case services::MB_ICONINFORMATION:
        box.setIcon(QMessageBox::Information);
        break;
    default:
        break;
    }
    if ((style & 0x0F) == services::MB_YESNO) {
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box.setDefaultButton(QMessageBox::Yes);
        return box.exec() == QMessageBox::Yes ? services::IDYES : services::IDNO;
    }
    box.setStandardButtons(QMessageBox::Ok);
    box.exec();
    return services::IDOK;
}

void DesktopLauncher::OpenUrl(const std::string& url) {
    QDesktopServices::openUrl(QUrl(QString::fromStdString(url)));
}

void DesktopLauncher::OpenFolder(const std::string& path) {
    QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(path)));
}

bool DesktopLauncher::StartStoreCacheReset() {
    return platform::StartStoreCacheReset();
}

} // namespace window
