// Start-up: the refusal without a packages folder and the four ways stored state can be
// found at start.
#include "WindowFixture.h"
#include "window/modStart.h"

#include <QApplication>

#include <sys/stat.h>

using namespace testsupport;

namespace {

bool AnyWindowVisible() {
    for (const QWidget* w : QApplication::topLevelWidgets()) {
        if (w->isVisible()) {
            return true;
        }
    }
    return false;
}

void ExpectCommandsEnabled(const window::frmMain& form, bool enabled) {
    for (const auto* label : form.AppCommands()) {
        EXPECT_EQ(label->isEnabled(), enabled) << label->objectName().toStdString();
    }
}

} // namespace

TEST(StartupWithoutPackages, ShowsTheStopMessageAndEndsWithoutAWindowOrAFile) {
    ProfileFixture profile(false);
    RecordingServices services;
    const std::string before = TreeFingerprint(profile.base().path());
    auto form = modStart::Main(profile.roots(), services.Get());
    EXPECT_FALSE(form);
    EXPECT_FALSE(AnyWindowVisible());
    ASSERT_EQ(services.questions.asked.size(), 1u);
    const AskedQuestion& stop = services.questions.asked[0];
    EXPECT_EQ(stop.title, "Windows Version not supported");
    EXPECT_EQ(stop.style, 0x10);
    EXPECT_EQ(stop.prompt,
              "Windows Store apps data packages could not been detected.\r\n"
              "This version of Dittoly supports ONLY Universal apps which were introduced in "
              "Windows 10.\r\n\r\n"
              "To backup legacy Windows programs, please download Dittoly for Windows from "
              "dittoly.example/download");
    EXPECT_EQ(TreeFingerprint(profile.base().path()), before);
}

TEST(StartupWithoutPackages, AFileNamedLikeThePackagesFolderIsNotThePackagesFolder) {
    ProfileFixture profile(false);
    WriteText(profile.packages(), "a file, not a folder");
    RecordingServices services;
    EXPECT_FALSE(modStart::Main(profile.roots(), services.Get()));
    EXPECT_EQ(services.questions.asked.size(), 1u);
}

using StartupTest = WindowTest;

TEST_F(StartupTest, FirstRunOffersExportAndWaitsForASearch) {
    Start();
    ASSERT_TRUE(form);
    EXPECT_TRUE(form->isVisible());
    EXPECT_TRUE(services.questions.asked.empty());
    EXPECT_FALSE(form->chkExportSettings->isHidden());
    EXPECT_FALSE(form->lblExportSettings->isHidden());
    EXPECT_TRUE(form->lblDeleteSettings->isHidden());
    EXPECT_TRUE(form->PicSearch->isVisible());
    EXPECT_EQ(form->lstAppsHidden->ListCount(), 0);
    ExpectCommandsEnabled(*form, false);
    EXPECT_FALSE(std::filesystem::exists(profile.program() / "Data"));
}

TEST_F(StartupTest, SettingsWithoutAppListPlaceTheWindowButKeepTheSearchPanel) {
    WriteText(profile.program() / "Data" / "dittoly.ini",
              "[UA]\r\nSettings=1\r\nLeft=1500\r\nTop=750\r\nWidth=15000\r\nHeight=9000\r\n");
    Start();
    ASSERT_TRUE(form);
    EXPECT_FLOAT_EQ(form->Left(), 1500);
    EXPECT_FLOAT_EQ(form->Top(), 750);
    EXPECT_FLOAT_EQ(form->Width(), 15000);
    EXPECT_FLOAT_EQ(form->Height(), 9000);
    EXPECT_EQ(form->chkExportSettings->checkState(), Qt::Checked);
    EXPECT_TRUE(services.questions.asked.empty()); // the file exists: nothing to ask
    EXPECT_FALSE(form->lblDeleteSettings->isHidden());
    EXPECT_TRUE(form->chkExportSettings->isHidden());
    EXPECT_TRUE(form->lblExportSettings->isHidden());
    EXPECT_TRUE(form->PicSearch->isVisible());
    ExpectCommandsEnabled(*form, false);
}

TEST_F(StartupTest, AppListWithoutSettingsFillsTheListsWithoutTicks) {
    WriteText(profile.program() / "Data" / "uapps.dat",
              "Zeta.App_z1\r\nalpha.Tool_a1\r\nExample.Notes_abc\r\n");
    Start();
    ASSERT_TRUE(form);
    ASSERT_EQ(form->lstApps->ListCount(), 3);
    EXPECT_EQ(form->lstApps->List(0), "alpha.Tool_a1");
    EXPECT_EQ(form->lstApps->List(1), "Example.Notes_abc");
    EXPECT_EQ(form->lstAppsHidden->List(1), "Example Notes");
    EXPECT_EQ(form->lstAppsHidden->SelCount(), 0);
    EXPECT_FALSE(form->PicSearch->isVisible());
    EXPECT_FALSE(form->chkExportSettings->isHidden());
    ExpectCommandsEnabled(*form, true);
}

TEST_F(StartupTest, BothFilesRestoreListAndTicks) {
    WriteText(profile.program() / "Data" / "uapps.dat", "B.App_b\r\nA.App_a\r\nC.App_c\r\n");
    WriteText(profile.program() / "Data" / "dittoly.ini", "[UA]\r\nApps=0;-1;True\r\n");
    Start();
    ASSERT_TRUE(form);
    EXPECT_FALSE(form->lstAppsHidden->Selected(0));
    EXPECT_TRUE(form->lstAppsHidden->Selected(1));
    EXPECT_TRUE(form->lstAppsHidden->Selected(2));
    Tick();
    EXPECT_TRUE(form->lstApps->Selected(1)); // the package list follows within one tick
    EXPECT_EQ(form->lblAppsSelected->Caption(), "2");
    EXPECT_FALSE(form->lblDeleteSettings->isHidden());
}

TEST_F(StartupTest, AnEmptyAppListShowsAnEmptyListAndTheSearchPanelComesBackAtTheFirstTick) {
    WriteText(profile.program() / "Data" / "uapps.dat", "");
    form = modStart::Main(profile.roots(), services.Get());
    ASSERT_TRUE(form);
    ExpectCommandsEnabled(*form, true);
    EXPECT_FALSE(form->PicSearch->isVisible());
    form->Timer1_Timer();
    EXPECT_TRUE(form->PicSearch->isVisible());
}

// A read that waits for a pipe's writer hangs the start (settings, list, icon) and the
// close; a close that replaces the pipes destroys what someone set up there.
TEST_F(StartupTest, PipesInDataNeitherHangTheStartNorTheCloseAndStayPipes) {
    const auto data = profile.program() / "Data";
    std::filesystem::create_directories(data);
    for (const char* name : {"dittoly.ini", "uapps.dat", "dittoly.ico"}) {
        ASSERT_EQ(::mkfifo((data / name).c_str(), 0600), 0);
    }
    Start();
    ASSERT_TRUE(form);
    EXPECT_TRUE(form->PicSearch->isVisible()); // no app list was found
    Close();
    for (const char* name : {"dittoly.ini", "uapps.dat", "dittoly.ico"}) {
        EXPECT_TRUE(std::filesystem::is_fifo(data / name)) << name;
    }
}
