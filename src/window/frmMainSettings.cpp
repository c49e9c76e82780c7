// The window's stored state: settings file, detected-apps file, the two configuration
// commands and the save on close.
#include "catalogue/modApps.h"
#include "common/CaseCompare.h"
#include "platform/Ini.h"
#include "settings/AppListFile.h"
#include "settings/modINI.h"
#include "window/frmMain.h"

#include <QApplication>
#include <algorithm>

namespace window {

using modINI::kSection;

namespace {
// The stored check-box value: 0 clear, 1 ticked, 2 greyed. Qt numbers the last two the
// other way round.
Qt::CheckState ToQt(int value) {
    return value == 1 ? Qt::Checked : value == 2 ? Qt::PartiallyChecked : Qt::Unchecked;
}
int FromQt(Qt::CheckState state) {
    return state == Qt::Checked ? 1 : state == Qt::PartiallyChecked ? 2 : 0;
}

constexpr const char* kPlacementKeys[] = {"Left", "Top", "Height", "Width"};
// The placement keys are read through a small fixed buffer, as they always were.
constexpr std::size_t kPlacementBuffer = 60;
} // namespace

void frmMain::LoadExportOption() {
    const auto state =
        modINI::ToCheckState(modINI::ReadIni(roots_.SettingsFile(), kSection, "Settings"));
    if (!state) {
        return;
    }
    if (*state == 2) {
        chkExportSettings->setTristate(true);
    }
    chkExportSettings->setCheckState(ToQt(*state));
}

void frmMain::LoadWindowPlacement() {
    for (const char* key : kPlacementKeys) {
        const std::string text =
            platform::GetProfileString(kSection, key, "", roots_.SettingsFile(), kPlacementBuffer);
        if (text.empty()) {
            continue;
        }
        // Out-of-range values are skipped like non-numbers: they could only put the
        // window out of reach.
        const auto value = modINI::ToInt16(text);
        if (!value) {
            continue;
        }
        const float twips = *value;
        const std::string name = key;
        if (name == "Left") {
            SetLeft(twips);
        } else if (name == "Top") {
            SetTop(twips);
        } else if (name == "Height") {
            SetHeight(twips);
        } else {
            SetWidth(twips);
        }
    }
}

void frmMain::LoadAppChecks() {
    const auto entries =
        modINI::ParseAppChecks(modINI::GetIniString(kSection, "Apps", "", roots_.SettingsFile()));
    const int rows = lstAppsHidden->ListCount();
    for (std::size_t i = 0; i < entries.size() && static_cast<int>(i) < rows; ++i) {
        if (entries[i]) {
            lstAppsHidden->SetSelected(static_cast<int>(i), *entries[i]);
        }
    }
}

void frmMain::SaveRunInfo() {
    const std::string file = roots_.SettingsFile();
    modINI::WriteIni(file, kSection, "RunOnce", "1");
    modINI::WriteIni(file, kSection, "DateRun", std::nullopt);
    modINI::WriteIni(file, kSection, "Settings",
                     std::to_string(FromQt(chkExportSettings->checkState())));
}

void frmMain::SaveAppChecks() {
    std::vector<bool> ticks;
    ticks.reserve(static_cast<std::size_t>(lstAppsHidden->ListCount()));
    for (int i = 0; i < lstAppsHidden->ListCount(); ++i) {
        ticks.push_back(lstAppsHidden->Selected(i));
    }
    modINI::SetIniString(kSection, "Apps", modINI::JoinAppChecks(ticks), roots_.SettingsFile());
}

void frmMain::SaveWindowPlacement() {
    const float values[] = {Left(), Top(), Height(), Width()};
    for (std::size_t i = 0; i < std::size(kPlacementKeys); ++i) {
        platform::WriteProfileString(kSection, kPlacementKeys[i], modINI::FormatTwips(values[i]),
                                     roots_.SettingsFile());
    }
}

void frmMain::LoadAppList() {
    lstApps->Clear();
    {
        const QSignalBlocker quiet(lstAppsHidden);
        lstAppsHidden->Clear();
    }
    auto names = settings::ReadAppListFile(roots_.AppListFile());
    if (names) {
        // Sorted ignoring case, equal names in file order, duplicates kept: the same
        // order one sorted insertion after another gives.
        std::stable_sort(names->begin(), names->end(), modGlobal::LessIgnoringCase);
        FillAppLists(*names);
    }
}

void frmMain::SaveAppList() {
    std::vector<std::string> names;
    names.reserve(static_cast<std::size_t>(lstApps->ListCount()));
    for (int i = 0; i < lstApps->ListCount(); ++i) {
        names.push_back(lstApps->Bytes(i));
    }
    settings::WriteAppListFile(roots_.AppListFile(), names);
}

void frmMain::chkExportSettings_Click() {
    if (chkExportSettings->checkState() == Qt::Unchecked) {
        return;
    }
    if (modGlobal::FileExists(roots_.SettingsFile())) {
        return;
    }
    const std::string prompt =
        "For writing its configuration settings, Dittoly UA uses the dittoly.ini file in the "
        "working directory of the application itself.\r\n\r\n"
        "Do you want to create a Data folder, to let the program save its configuration, i.e. "
        "window states, selected and detected apps etc.";
    const int answer =
        services_.questions.Ask(prompt, services::MB_YESNO | services::MB_ICONINFORMATION,
                                lblExportSettings->Caption().toStdString());
    if (answer == services::IDYES) {
        modGlobal::CreateFolder(roots_.DataDir());
    } else {
        chkExportSettings->setCheckState(Qt::Unchecked);
    }
}

void frmMain::lblExportSettings_Click() {
    chkExportSettings->setCheckState(Qt::Checked);
}

void frmMain::lblDeleteSettings_Click() {
    if (running_) {
        return;
    }
    const std::string prompt =
        "Do you want to clear all configuration data of Dittoly UA?\r\n\r\n"
        "Please make sure that this UA version of Dittoly is not executed in the working "
        "directory of Dittoly for Windows.\r\n"
        "In this case, all settings of both applications would be deleted.";
    const int answer =
        services_.questions.Ask(prompt, services::MB_YESNO | services::MB_ICONEXCLAMATION,
                                lblDeleteSettings->Caption().toStdString());
    if (answer != services::IDYES) {
        return;
    }
    DeleteConfiguration();
}

void frmMain::Form_QueryUnload() {
    SaveRunInfo();
    SaveAppList();
    SaveAppChecks();
    SaveWindowPlacement();
    unloaded_ = true;
    for (QWidget* other : QApplication::topLevelWidgets()) {
        if (other != this && other->isVisible()) {
            other->close();
        }
    }
}

} // namespace window
