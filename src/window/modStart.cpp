#include "window/modStart.h"

#include "window/frmMain.h"
#include "window/modUI.h"

namespace modStart {

std::unique_ptr<window::frmMain> Main(const modGlobal::Roots& roots, services::Services svc) {
    if (!modGlobal::FolderExists(roots.PackagesRoot())) {
        svc.questions.Ask(modGlobal::StopMessage(), services::MB_OK | services::MB_ICONSTOP,
                          modGlobal::kStopTitle);
        return nullptr;
    }
    auto form = std::make_unique<window::frmMain>(roots, svc);
    // The stored placement is applied before the window is first shown, so it opens
    // where it was left.
    if (modGlobal::FileExists(roots.SettingsFile())) {
        form->LoadExportOption();
        form->LoadWindowPlacement();
        form->KeepOnScreen();
        form->lblDeleteSettings->show();
        form->chkExportSettings->hide();
        form->lblExportSettings->hide();
    }
    form->show();
    modUI::ApplyWindowLook(*form);
    if (modGlobal::FileExists(roots.AppListFile())) {
        form->PicSearch->hide();
        form->lstAppsHidden->show();
        form->EnableAppCommands();
        form->LoadAppList();
        form->LoadAppChecks();
    }
    return form;
}

} // namespace modStart
