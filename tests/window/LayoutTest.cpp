// The window's controls, their layout on resize, and the run-time look.
#include "WindowFixture.h"
#include "window/modUI.h"

#include <QApplication>
#include <QImage>
#include <QImageWriter>

using testsupport::WindowTest;
using window::TwipRect;

namespace {

void ExpectTwips(const window::frmMain& form, const QWidget* control, TwipRect want) {
    const TwipRect got = form.Twips(control);
    EXPECT_FLOAT_EQ(got.left, want.left) << control->objectName().toStdString();
    EXPECT_FLOAT_EQ(got.top, want.top) << control->objectName().toStdString();
    EXPECT_FLOAT_EQ(got.width, want.width) << control->objectName().toStdString();
    EXPECT_FLOAT_EQ(got.height, want.height) << control->objectName().toStdString();
}

} // namespace

class LayoutTest : public WindowTest {
protected:
    void SetUp() override {
        Start();
        ASSERT_TRUE(form);
    }
};

TEST_F(LayoutTest, DesignClientAreaGivesTheDesignLayout) {
    // The real window event, not a direct call: the client area is 916 x 498 pixels.
    form->resize(916, 498);
    QApplication::processEvents();
    ExpectTwips(*form, form->lstApps, {3360, 960, 4005, 6270});
    ExpectTwips(*form, form->lstAppsHidden, {3360, 960, 4005, 6270});
    ExpectTwips(*form, form->lstStatus, {7440, 1540, 6140, 5770});
    ExpectTwips(*form, form->PicMiddle, {3240, 0, 10240, 855});
    ExpectTwips(*form, form->PicSearch, {4580, 2490, 7575, 1575});
    ExpectTwips(*form, form->PicLeftNavMenu, {0, 840, 3285, 7470});
    ExpectTwips(*form, form->PicInfo, {0, 2770, 4215, 3615});
    ExpectTwips(*form, form->PicResetOptions, {9540, 0, 4215, 7470});
    EXPECT_FLOAT_EQ(form->Twips(form->lblInfo).top, 5670);
    EXPECT_FLOAT_EQ(form->Twips(form->lblOpenAppDataDir).left, 12740);
    // Twips reach the widgets at 15 to the pixel.
    EXPECT_EQ(form->lstStatus->geometry(), QRect(496, 103, 409, 384));
    EXPECT_EQ(form->lblInfo->y(), 378);
}

TEST_F(LayoutTest, NegativeSizesKeepTheOldValueAndLaterRulesStillApply) {
    form->Form_Resize(13740, 7470);
    form->Form_Resize(7000, 7470); // too narrow for the status list only
    EXPECT_FLOAT_EQ(form->Twips(form->lstStatus).width, 6140);
    EXPECT_FLOAT_EQ(form->Twips(form->PicMiddle).width, 3500);
    EXPECT_FLOAT_EQ(form->Twips(form->lstStatus).height, 5770);
    EXPECT_FLOAT_EQ(form->Twips(form->lblOpenAppDataDir).left, 6000);

    form->PicInfo->show();
    form->PicResetOptions->show();
    form->Form_Resize(0, 0); // minimised
    EXPECT_FLOAT_EQ(form->Twips(form->lstApps).height, 6270);
    EXPECT_FLOAT_EQ(form->Twips(form->lstAppsHidden).height, 6270);
    EXPECT_FLOAT_EQ(form->Twips(form->lstStatus).width, 6140);
    EXPECT_FLOAT_EQ(form->Twips(form->PicMiddle).width, 3500);
    EXPECT_FLOAT_EQ(form->Twips(form->PicSearch).left, 0);
    EXPECT_FLOAT_EQ(form->Twips(form->PicSearch).top, 0);
    EXPECT_FLOAT_EQ(form->Twips(form->PicLeftNavMenu).height, 0);
    EXPECT_FLOAT_EQ(form->Twips(form->PicInfo).top, -4700); // positions may go negative
    EXPECT_FALSE(form->PicInfo->isVisible());
    EXPECT_FALSE(form->PicResetOptions->isVisible());

    form->Form_Resize(13740, 7470); // restored
    EXPECT_FLOAT_EQ(form->Twips(form->lstStatus).width, 6140);
    EXPECT_FLOAT_EQ(form->Twips(form->PicSearch).left, 4580);
}

TEST_F(LayoutTest, MinimisingAndResizingCloseTheOpenPanels) {
    form->lblInfo_Click();
    form->lblRepair_Click();
    EXPECT_TRUE(form->PicInfo->isVisible());
    EXPECT_TRUE(form->PicResetOptions->isVisible());
    form->resize(1000, 600);
    QApplication::processEvents();
    EXPECT_FALSE(form->PicInfo->isVisible());
    EXPECT_FALSE(form->PicResetOptions->isVisible());

    form->lblInfo_Click();
    form->showMinimized();
    QApplication::processEvents();
    EXPECT_FALSE(form->PicInfo->isVisible());
    form->showNormal();
    QApplication::processEvents();
    EXPECT_FLOAT_EQ(form->Twips(form->lstApps).height, form->height() * 15.0f - 1200);
}

TEST_F(LayoutTest, ControlsStartAsDesigned) {
    EXPECT_EQ(form->windowTitle(), "Dittoly UA");
    EXPECT_EQ(form->lblSearch->Caption(), "search apps packages");
    EXPECT_EQ(form->lblApp->Caption(), "no app selected");
    EXPECT_EQ(form->lblVersion->Caption(), "0.7.1");
    EXPECT_EQ(form->lblHomepage->Caption(), "dittoly.example");
    EXPECT_EQ(form->lblRepair->toolTip(), "Reset selected apps to factory defaults");
    EXPECT_EQ(form->lblClearAppStoreCache->toolTip(), "Clear apps store cache only");
    EXPECT_EQ(form->lblOpenAppDataDir->toolTip(), "Open app data directory");
    for (const auto* label : form->AppCommands()) {
        EXPECT_FALSE(label->isEnabled()) << label->objectName().toStdString();
    }
    EXPECT_TRUE(form->lblClearAppCache->isEnabled());
    EXPECT_TRUE(form->lblSearch->HasHand());
    EXPECT_TRUE(form->lblHomepage->HasHand());
    EXPECT_FALSE(form->lblAppsInstalled->HasHand());
    EXPECT_EQ(form->lblSearch->cursor().hotSpot(), QPoint(5, 0));
    EXPECT_TRUE(form->lblSearch->font().underline());
    EXPECT_FALSE(form->lblApps->font().underline());
    EXPECT_DOUBLE_EQ(form->lblAboutApp->font().pointSizeF(), 20.25);
    EXPECT_EQ(form->lblAppName->font().weight(), 600);
    EXPECT_FALSE(form->lstApps->isVisible());
    EXPECT_TRUE(form->PicSearch->isVisible());
    EXPECT_FALSE(form->lblDeleteSettings->isVisible());
    EXPECT_TRUE(form->Timer1->interval() == 1);

    // Front to back: the options panel covers the search panel, which covers the lists.
    const auto z = [&](const QWidget* w) { return form->children().indexOf(w); };
    const QWidget* frontToBack[] = {form->PicResetOptions, form->PicSearch,      form->PicInfo,
                                    form->PicLeft,         form->PicLeftNavMenu, form->PicMiddle,
                                    form->lstStatus,       form->lstAppsHidden,  form->lstApps};
    for (std::size_t i = 1; i < std::size(frontToBack); ++i) {
        EXPECT_GT(z(frontToBack[i - 1]), z(frontToBack[i]))
            << frontToBack[i - 1]->objectName().toStdString();
    }
    EXPECT_LT(z(form->lblStatus), z(form->lstApps));
}

TEST_F(LayoutTest, CaptionsKeepTheirDesignWidths) {
    // Not measured: the empty status caption, the counts (numbers that change), the texts
    // chosen here (copyright, host name), and two design widths that fit no font's caption
    // ("Dittoly" 94 px, "0.7.1" 30 px).
    const QStringList skipped = {"lblStatus",    "lblAppsInstalled", "lblAppsSelected",
                                 "lblCopyright", "lblHomepage",      "lblAppName",
                                 "lblVersion"};
    for (const auto* label : form->findChildren<window::VbLabel*>()) {
        const double design = form->Twips(label).width / 15.0;
        if (!skipped.contains(label->objectName())) {
            EXPECT_NEAR(label->width(), design, design * 0.05) << label->objectName().toStdString();
        }
    }
}

TEST_F(LayoutTest, RunTimeColoursAndIcon) {
    EXPECT_EQ(form->PicSearch->palette().color(QPalette::Window), QColor(57, 130, 113));
    EXPECT_EQ(form->PicLeftNavMenu->palette().color(QPalette::Window), QColor(230, 230, 230));
    EXPECT_EQ(form->PicInfo->palette().color(QPalette::Window), QColor(246, 246, 246));
    EXPECT_EQ(form->lblApp->palette().color(QPalette::WindowText), QColor(57, 130, 113));
    EXPECT_EQ(form->lblHomepage->palette().color(QPalette::WindowText), QColor(0, 120, 215));

    // No icon file: the empty design icon stays.
    const QImage before = form->windowIcon().pixmap(16, 16).toImage();
    EXPECT_EQ(before.pixelColor(8, 8).alpha(), 0);

    // A broken file changes nothing.
    testsupport::WriteText(profile.program() / "Data" / "dittoly.ico", "not an icon");
    EXPECT_FALSE(modUI::SetWindowIcon(*form, form->roots().IconFile()));
    EXPECT_EQ(form->windowIcon().pixmap(16, 16).toImage().pixelColor(8, 8).alpha(), 0);

    QImage red(32, 32, QImage::Format_ARGB32);
    red.fill(Qt::red);
    ASSERT_TRUE(red.save(QString::fromStdString(form->roots().IconFile()), "ICO"));
    modUI::ApplyWindowLook(*form);
    const QImage after = form->windowIcon().pixmap(16, 16).toImage();
    EXPECT_EQ(after.pixelColor(8, 8), QColor(Qt::red));
    EXPECT_EQ(form->windowIcon().availableSizes().value(0), QSize(16, 16));
}
