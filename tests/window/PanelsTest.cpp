// Overlay panels, links and tooltips, driven by mouse events delivered where the window
// system would deliver them.
#include "SendClick.h"
#include "WindowFixture.h"

#include <QApplication>

using namespace testsupport;

namespace {

QPoint CentreOf(const QWidget* control, const QWidget* top) {
    return control->mapTo(top, control->rect().center());
}

} // namespace

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
    SendClick(form.get(), CentreOf(form->lblInfo, form.get()));
    SendClick(form.get(), CentreOf(form->lblRepair, form.get()));
    EXPECT_TRUE(form->PicInfo->isVisible());
    EXPECT_TRUE(form->PicResetOptions->isVisible());

    // Labels and the check box inside a panel keep it open.
    SendClick(form.get(), CentreOf(form->lblVersion, form.get()));
    SendClick(form.get(), CentreOf(form->Label6, form.get()));
    EXPECT_TRUE(form->PicInfo->isVisible());
    EXPECT_TRUE(form->PicResetOptions->isVisible());

    // The panel's bare surface closes it, and only it.
    SendClick(form.get(), form->PicInfo->mapTo(form.get(), QPoint(5, form->PicInfo->height() - 5)));
    EXPECT_FALSE(form->PicInfo->isVisible());
    EXPECT_TRUE(form->PicResetOptions->isVisible());
    SendClick(form.get(), form->PicResetOptions->mapTo(form.get(), QPoint(10, 200)));
    EXPECT_FALSE(form->PicResetOptions->isVisible());
}

TEST_F(PanelsTest, LinksUseTheOneHostAndOpenTheCurrentAppsSettings) {
    form->lblAppName_MouseMove();
    EXPECT_EQ(form->lblAppName->toolTip(),
              "Click here to visit the Dittoly website at dittoly.example");
    SendClick(form.get(), CentreOf(form->lblAppName, form.get()));
    form->lblHomepage_Click();
    EXPECT_EQ(services.launcher.urls, (std::vector<std::string>{"https://dittoly.example/ua",
                                                                "https://dittoly.example/ua"}));

    const std::string packages = profile.packages().string();
    form->lblOpenAppDataDir_Click(); // no current app: a path that names no folder
    form->lstAppsHidden->SetListIndex(0);
    Tick();
    form->lblOpenAppDataDir_Click();
    EXPECT_EQ(services.launcher.folders,
              (std::vector<std::string>{packages + "//Settings",
                                        packages + "/Example.Notes_abc/Settings"}));
    EXPECT_TRUE(StatusLines().empty()); // nothing is reported either way
}

TEST_F(PanelsTest, TheStatusTooltipShowsTheCurrentLine) {
    form->lstStatus_MouseMove();
    EXPECT_EQ(form->lstStatus->toolTip(), "");
    services.questions.Answer(services::IDYES);
    form->lblClearAppStoreCache_Click();
    form->lstStatus_MouseMove();
    EXPECT_EQ(form->lstStatus->toolTip(), QString(55, '=').left(53));
}
