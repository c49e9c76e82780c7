// Overlay panels, links and tooltips, driven by mouse events delivered where the window
// system would deliver them.
#include "SendClick.h"
#include "WindowFixture.h"

using namespace testsupport;

class PanelsTest : public WindowTest {
protected:
    void SetUp() override {
        profile.AddPackage("Example.Notes_abc");
        StartAndSearch();
    }
};

TEST_F(PanelsTest, PanelsOpenTogetherAndCloseOnlyOnTheirOwnSurface) {
    // Tall enough that the open Info panel leaves "Repair" uncovered.
    form->resize(916, 700);
    QApplication::processEvents();
    SendClick(form->lblInfo);
    SendClick(form->lblRepair);
    // Labels inside a panel keep it open.
    SendClick(form->lblVersion);
    SendClick(form->Label6);
    EXPECT_TRUE(form->PicInfo->isVisible() && form->PicResetOptions->isVisible());

    // The panel's bare surface closes it, and only it.
    SendClick(form->PicInfo, QPoint(5, form->PicInfo->height() - 5));
    EXPECT_TRUE(!form->PicInfo->isVisible() && form->PicResetOptions->isVisible());
    SendClick(form->PicResetOptions, QPoint(10, 200));
    EXPECT_FALSE(form->PicResetOptions->isVisible());
}

TEST_F(PanelsTest, LinksOpenTheSiteAndTheCurrentAppsSettingsAndTooltipsFollowTheStatusList) {
    SendClick(form->lblAppName);
    form->lblHomepage_Click();
    EXPECT_EQ(services.launcher.urls, (std::vector<std::string>(2, "https://dittoly.example/ua")));

    const std::string packages = profile.packages().string();
    form->lblOpenAppDataDir_Click(); // no current app: a path that names no folder
    form->lstAppsHidden->SetListIndex(0);
    Tick();
    form->lblOpenAppDataDir_Click();
    EXPECT_EQ(services.launcher.folders,
              (std::vector<std::string>{packages + "//Settings",
                                        packages + "/Example.Notes_abc/Settings"}));
    EXPECT_TRUE(StatusLines().empty()); // nothing is reported either way

    form->lstStatus_MouseMove();
    EXPECT_EQ(form->lstStatus->toolTip(), "");
    services.questions.Answer(services::IDYES);
    form->lblClearAppStoreCache_Click();
    form->lstStatus_MouseMove(); // the current line is the last one written
    EXPECT_EQ(form->lstStatus->toolTip(), QString(53, '='));
}
