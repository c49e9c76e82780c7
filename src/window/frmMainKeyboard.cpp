// The window from the keyboard and for accessibility clients: which labels are commands,
// the order Tab walks them in, the panels' focus, and the names clients read.
#include "window/frmMain.h"

#include <QKeyEvent>
#include <algorithm>

namespace window {

void frmMain::SetUpKeyboard() {
    using Role = VbLabel::Role;
    for (VbLabel* button :
         {lblApps, lblBackup, lblRestore, lblSelect, lblRepair, lblInfo, lblExportSettings}) {
        button->SetCommand(Role::Button);
    }
    // The underlined commands, and the product name that opens the website.
    for (VbLabel* link : {lblAppName, lblSearch, lblOpenAppDataDir, lblHomepage, lblDeleteSettings,
                          lblReset, lblHardReset, lblClearAppCache, lblClearAppStoreCache}) {
        link->SetCommand(Role::Link);
    }
    lblAppsInstalled->SetMeaning("Apps installed");
    lblAppsSelected->SetMeaning("Apps selected");
    lstAppsHidden->setAccessibleName("App list");
    lstApps->setAccessibleName("Package folder list");
    lstStatus->setAccessibleName("Status list");
    chkExportSettings->setAccessibleDescription(lblExportSettings->Caption());

    // Screen order: the left column top to bottom with the Info panel after the command
    // that opens it, then the middle from the search panel in front of the app list to
    // the right, then the options panel docked at the right edge.
    tabOrder_ = {
        lblAppName,        lblApps,      lblBackup,        lblRestore,           lblSelect,
        lblRepair,         lblInfo,      lblHomepage,      chkExportSettings,    lblExportSettings,
        lblDeleteSettings, lblSearch,    lstAppsHidden,    lblOpenAppDataDir,    lstStatus,
        lblReset,          lblHardReset, lblClearAppCache, lblClearAppStoreCache};
    for (std::size_t i = 1; i < tabOrder_.size(); ++i) {
        setTabOrder(tabOrder_[i - 1], tabOrder_[i]);
    }
    // The window opens with the focus in the app list, as it always has: no command shows
    // a focus frame until the keyboard moves there.
    lstAppsHidden->setFocus();
}

bool frmMain::Reachable(QWidget* control) const {
    if (!control->isVisible() || !control->isEnabled() ||
        (control->focusPolicy() & Qt::TabFocus) == 0) {
        return false;
    }
    if (const auto* list = qobject_cast<VbList*>(control); list != nullptr && list->count() == 0) {
        return false; // nothing there to read or move through
    }
    // A command under an open panel cannot be clicked, nor a list whose middle lies under
    // one be read, so Tab passes them by as well.
    const QWidget* top = childAt(control->mapTo(this, control->rect().center()));
    return top == control || control->isAncestorOf(top);
}

bool frmMain::focusNextPrevChild(bool next) {
    const auto at = std::find(tabOrder_.begin(), tabOrder_.end(), focusWidget());
    if (at == tabOrder_.end()) {
        return QWidget::focusNextPrevChild(next);
    }
    const std::size_t n = tabOrder_.size();
    const auto from = static_cast<std::size_t>(at - tabOrder_.begin());
    for (std::size_t step = 1; step < n; ++step) {
        QWidget* control = tabOrder_[(from + (next ? step : n - step)) % n];
        if (Reachable(control)) {
            control->setFocus(next ? Qt::TabFocusReason : Qt::BacktabFocusReason);
            return true;
        }
    }
    return false;
}

void frmMain::OpenPanel(VbPanel* panel, VbLabel* opener) {
    panel->show();
    // Opened from the keyboard, the panel takes the focus: its commands are what the
    // next keys are meant for.
    if (opener->hasFocus()) {
        for (QWidget* control : tabOrder_) {
            if (panel->isAncestorOf(control) && Reachable(control)) {
                control->setFocus(Qt::TabFocusReason);
                break;
            }
        }
    }
}

void frmMain::ClosePanel(VbPanel* panel, VbLabel* opener) {
    // The focus goes back to the command that opened the panel, not on to whatever
    // follows the panel's last command.
    if (panel->isAncestorOf(focusWidget())) {
        opener->setFocus(Qt::TabFocusReason);
    }
    panel->hide();
}

void frmMain::paintEvent(QPaintEvent*) {
    VbLabel::PaintFocusFrame(this); // "Open" lies on the window's own surface
}

void frmMain::keyPressEvent(QKeyEvent* event) {
    if (event->key() != Qt::Key_Escape) {
        QWidget::keyPressEvent(event);
        return;
    }
    // Escape closes the panel the focus is in, else the front one of those open.
    if (PicInfo->isVisible() &&
        (PicInfo->isAncestorOf(focusWidget()) || PicResetOptions->isHidden())) {
        PicInfo_Click();
    } else if (PicResetOptions->isVisible()) {
        PicResetOptions_Click();
    } else {
        QWidget::keyPressEvent(event);
    }
}

} // namespace window
