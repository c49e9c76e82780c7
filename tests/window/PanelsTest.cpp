// Overlay panels, links and tooltips, driven by mouse events delivered where the window
// system would deliver them.
#include "WindowFixture.h"

#include <QApplication>
#include <QMouseEvent>

using namespace testsupport;

namespace {

// Presses and releases the left button at `pos` of `top`, on whatever control lies
// there, as a real click would.
void ClickAt(QWidget* top, QPoint pos) {
    QWidget* target = top->childAt(pos);
    if (target == nullptr) {
        target = top;
    }
    const QPointF local = target->mapFrom(top, pos);
    const QPointF global = top->mapToGlobal(pos);
    QMouseEvent press(QEvent::MouseButtonPress, local, global, Qt::LeftButton, Qt::LeftButton,
                      Qt::NoModifier);
    QMouseEvent release(QEvent::MouseButtonRelease, local, global, Qt::LeftButton, Qt::NoButton,
                        Qt::NoModifier);
    QApplication::sendEvent(target, &press);
    QApplication::sendEvent(target, &release);
}

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
    ClickAt(form.get(), CentreOf(form->lblInfo, form.get()));
    ClickAt(form.get(), CentreOf(form->lblRepair, form.get()));
    EXPECT_TRUE(form->PicInfo->isVisible());
    EXPECT_TRUE(form->PicResetOptions->isVisible());

    // Labels and the check box inside a panel keep it open.
    ClickAt(form.get(), CentreOf(form->lblVersion, form.get()));
    ClickAt(form.get(), CentreOf(form->Label6, form.get()));
    EXPECT_TRUE(form->PicInfo->isVisible());
    EXPECT_TRUE(form->PicResetOptions->isVisible());

    // The panel's bare surface closes it, and only it.
    ClickAt(form.get(), form->PicInfo->mapTo(form.get(), QPoint(5, form->PicInfo->height() - 5)));
    EXPECT_FALSE(form->PicInfo->isVisible());
    EXPECT_TRUE(form->PicResetOptions->isVisible());
    ClickAt(form.get(), form->PicResetOptions->mapTo(form.get(), QPoint(10, 200)));
    EXPECT_FALSE(form->PicResetOptions->isVisible());
}

TEST_F(PanelsTest, LinksUseTheOneHostAndOpenTheCurrentAppsSettings) {
    form->lblAppName_MouseMove();
    EXPECT_EQ(form->lblAppName->toolTip(),
              "Click here to visit the Dittoly website at dittoly.example");
    ClickAt(form.get(), CentreOf(form->lblAppName, form.get()));
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
