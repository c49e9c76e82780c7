#include "window/modUI.h"

#include "platform/Platform.h"
#include "window/frmMain.h"

#include <QBuffer>
#include <QByteArray>
#include <QFontDatabase>
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

QColor ErrorColour() {
    return {196, 43, 28};
}

void SetCaptionColour(QWidget* control, const std::optional<QColor>& colour) {
    QPalette pal = control->palette();
    pal.setColor(QPalette::WindowText,
                 colour.value_or(control->parentWidget()->palette().color(QPalette::WindowText)));
    control->setPalette(pal);
}

QFont DesignFont(Face face, double points, bool underline) {
    // The system's usual fallback for a missing Segoe UI (DejaVu Sans) sets the captions
    // about 15% wider than their design widths and heavier, so labels run into their
    // neighbours. Lato's Light, Regular and Semibold keep every caption within a few
    // percent of its design width (Open Sans runs up to 8% wider, Inter and Noto Sans up
    // to 11%, and Noto Sans comes without a light face).
    static const bool segoe = QFontDatabase::hasFamily("Segoe UI");
    static const bool lato = QFontDatabase::hasFamily("Lato");
    const auto index = static_cast<std::size_t>(face);
    static const char* const segoeFamilies[] = {"Segoe UI Semilight", "Segoe UI",
                                                "Segoe UI Semibold"};
    static const int segoeWeights[] = {350, 400, 600};
    static const int latoWeights[] = {300, 400, 600};
    const bool standIn = !segoe && lato;
    QFont font{QString::fromLatin1(standIn ? "Lato" : segoeFamilies[index])};
    font.setPointSizeF(points);
    font.setWeight(static_cast<QFont::Weight>(standIn ? latoWeights[index] : segoeWeights[index]));
    font.setUnderline(underline);
    font.setItalic(false);
    return font;
}

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
