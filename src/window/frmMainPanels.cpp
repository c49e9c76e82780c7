// The overlay panels, the website and folder links, and the tooltips that follow lists.
#include "platform/Platform.h"
#include "window/frmMain.h"

#include <QToolTip>

namespace window {

void frmMain::lblRepair_Click() {
    OpenPanel(PicResetOptions, lblRepair);
}

void frmMain::PicResetOptions_Click() {
    ClosePanel(PicResetOptions, lblRepair);
}

void frmMain::lblInfo_Click() {
    OpenPanel(PicInfo, lblInfo);
}

void frmMain::PicInfo_Click() {
    ClosePanel(PicInfo, lblInfo);
}

void frmMain::lblAppName_Click() {
    services_.launcher.OpenUrl(std::string("https://") + services::kWebsiteHost + "/ua");
}

void frmMain::lblHomepage_Click() {
    lblAppName_Click();
}

void frmMain::lblAppName_MouseMove() {
    lblAppName->setToolTip(QString("Click here to visit the Dittoly website at ") +
                           services::kWebsiteHost);
}

void frmMain::lblOpenAppDataDir_Click() {
    // With no current app the name is empty and the path names no folder; the launch
    // then fails quietly, as it does for an app without a Settings folder.
    services_.launcher.OpenFolder(roots_.PackageFolder(lstApps->TextBytes()) + platform::kSepStr +
                                  "Settings");
}

QString frmMain::StatusTip() const {
    QString tip = lstStatus->Text();
    if (const QString reason = lstStatus->Note(lstStatus->currentRow()); !reason.isEmpty()) {
        tip += "\n" + reason;
    }
    return tip;
}

void frmMain::lstStatus_MouseMove() {
    lstStatus->setToolTip(StatusTip());
}

void frmMain::lstStatus_NoteAsked() {
    // Under the line, from the list's left edge however far it is scrolled.
    const QRect line = lstStatus->visualItemRect(lstStatus->currentItem());
    QToolTip::showText(lstStatus->viewport()->mapToGlobal(QPoint(0, line.bottom())), StatusTip(),
                       lstStatus->viewport(), line);
}

} // namespace window
