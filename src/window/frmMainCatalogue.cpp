// The app catalogue in the window: the search, the two lists, ticks and counts.
#include "catalogue/modApps.h"
#include "window/frmMain.h"

#include <QSignalBlocker>

namespace window {

void frmMain::lblSearch_Click() {
    if (running_) {
        return;
    }
    lblSearch->SetCaption("please wait ...");
    // Hiding the list sends its focus on along Tab's order; it comes back with the list.
    const bool listHadFocus = lstAppsHidden->hasFocus();
    lstAppsHidden->hide();
    if (PicSearch->isVisible()) {
        PicSearch->repaint();
    }
    {
        // Emptying the lists is no change of the current app: the app name keeps its text.
        const QSignalBlocker quiet(lstAppsHidden);
        lstApps->Clear();
        lstAppsHidden->Clear();
    }
    EnableAppCommands();

    FillAppLists(modApps::FindPackages(roots_.PackagesRoot()));
    lblAppsInstalled->SetCaption(QString::number(lstApps->ListCount()));
    lstAppsHidden->show();
    if (listHadFocus) {
        lstAppsHidden->setFocus(Qt::OtherFocusReason);
    }
    PicSearch->hide();
    WakeTimer1();
}

void frmMain::FillAppLists(const std::vector<std::string>& packages) {
    // Both lists are filled in the package list's order, so entry i of each is the same
    // app; the display list is never sorted on its own.
    lstApps->setUpdatesEnabled(false);
    lstAppsHidden->setUpdatesEnabled(false);
    for (const std::string& package : packages) {
        lstApps->AddItem(package);
        lstAppsHidden->AddItem(modApps::PackageDisplayName(package));
    }
    lstApps->setUpdatesEnabled(true);
    lstAppsHidden->setUpdatesEnabled(true);
}

void frmMain::lblApps_Click() {
    PicSearch->show();
    lblSearch_Click();
}

void frmMain::lblSelect_Click() {
    selectAll_ = !selectAll_;
    SetAllTicks(lstApps, selectAll_);
    SetAllTicks(lstAppsHidden, selectAll_);
}

void frmMain::SetAllTicks(VbList* list, bool state) {
    const int n = list->ListCount();
    for (int i = 0; i < n; ++i) {
        list->SetSelected(i, state);
    }
    list->update();
    if (n > 0) {
        list->SetListIndex(0);
    }
}

void frmMain::lstAppsHidden_Click() {
    lblApp->SetCaption(lstAppsHidden->Text());
}

void frmMain::lstAppsHidden_MouseMove() {
    lstAppsHidden->setToolTip(lstAppsHidden->Text());
}

void frmMain::ForEachTickedApp(const std::function<void(const TickedApp&)>& step) {
    for (int i = 0; i < lstAppsHidden->ListCount(); ++i) {
        if (lstAppsHidden->Selected(i)) {
            step(TickedApp{i, lstApps->Bytes(i), lstAppsHidden->Bytes(i)});
        }
    }
}

void frmMain::WakeTimer1() {
    if (!Timer1->isActive()) {
        Timer1->start();
    }
}

void frmMain::CopyTicksToPackageList() {
    const int n = lstAppsHidden->ListCount();
    for (int i = 0; i < n; ++i) {
        lstApps->SetSelected(i, lstAppsHidden->Selected(i));
    }
}

void frmMain::Timer1_Timer() {
    lblAppsInstalled->SetCaption(QString::number(lstAppsHidden->ListCount()));
    lblAppsSelected->SetCaption(QString::number(lstAppsHidden->SelCount()));
    if (lstAppsHidden->ListCount() == 0) {
        PicSearch->show();
    }
    if (lstAppsHidden->ListIndex() != lstApps->ListIndex()) {
        lstApps->SetListIndex(lstAppsHidden->ListIndex());
    }
    CopyTicksToPackageList();
    // Every change to either list wakes the timer again, so an idle window costs nothing
    // while the counts and copies are still fresh within one tick of any change.
    Timer1->stop();
}

} // namespace window
