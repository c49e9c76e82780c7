// The overlay panels, the website and folder links, and the tooltips that follow lists.
#include "platform/Platform.h"
#include "window/frmMain.h"

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

void frmMain::lstStatus_MouseMove() {
    QString tip = lstStatus->Text();
    if (const auto reason = lineReasons_.find(lstStatus->currentRow());
        reason != lineReasons_.end() && !tip.isEmpty()) {
        tip += "\n" + QString::fromStdString(reason->second);
    }
    lstStatus->setToolTip(tip);
}

} // namespace window
