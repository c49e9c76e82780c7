#include "window/modUI.h"

#include "platform/Platform.h"
#include "window/frmMain.h"

#include <QBuffer>
#include <QByteArray>
#include <QIcon>
#include <QImageReader>
#include <QPixmap>

namespace modUI {

namespace {
void SetBackground(QWidget* widget, const QColor& colour) {
    widget->setAutoFillBackground(true);
    QPalette pal = widget->palette();
    pal.setColor(QPalette::Window, colour);
    pal.setColor(QPalette::Base, colour);
    widget->setPalette(pal);
}

void SetTextColour(QWidget* widget, const QColor& colour) {
    QPalette pal = widget->palette();
    pal.setColor(QPalette::WindowText, colour);
    pal.setColor(QPalette::Text, colour);
    widget->setPalette(pal);
}
} // namespace

bool SetWindowIcon(QWidget& window, const std::string& path) {
    // Read through the platform layer, which never waits on a pipe and refuses a file of
    // absurd size, instead of letting the image reader open the path itself.
    const auto bytes = platform::ReadWholeFile(path);
    if (!bytes) {
        return false;
    }
    QByteArray data = QByteArray::fromStdString(*bytes);
    QBuffer buffer(&data);
    QImageReader reader(&buffer);
    reader.setScaledSize(QSize(16, 16));
    const QImage image = reader.read();
    if (image.isNull()) {
        return false;
    }
    // One 16 x 16 image serves as both the large and the small icon.
    window.setWindowIcon(QIcon(QPixmap::fromImage(image)));
    return true;
}

void ApplyWindowLook(window::frmMain& form) {
    SetWindowIcon(form, form.roots().IconFile());
    const QColor green(57, 130, 113);
    const QColor grey(230, 230, 230);
    const QColor light(246, 246, 246);
    SetBackground(form.PicSearch, green);
    SetBackground(&form, Qt::white);
    SetTextColour(form.lblApp, green);
    SetBackground(form.PicLeft, grey);
    SetBackground(form.lstApps, Qt::white);
    SetBackground(form.lstAppsHidden, Qt::white);
    SetBackground(form.lstStatus, Qt::white);
    SetBackground(form.PicMiddle, Qt::white);
    SetBackground(form.PicLeftNavMenu, grey);
    SetBackground(form.PicResetOptions, grey);
    SetBackground(form.PicInfo, light);
    SetTextColour(form.lblHomepage, QColor(0, 120, 215));
    SetBackground(form.chkExportSettings, light);
}

} // namespace modUI
