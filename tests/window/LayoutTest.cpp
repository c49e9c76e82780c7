// The layout rules on resize, the panels a resize closes, the captions' widths and the
// window icon.
#include "WindowFixture.h"
#include "window/modUI.h"

#include <QApplication>
#include <QImage>
#include <array>

using testsupport::WindowTest;
using window::TwipRect;

class LayoutTest : public WindowTest {
protected:
    void SetUp() override { Start(); }
    void ExpectTwips(const QWidget* control, TwipRect want) {
        const TwipRect got = form->Twips(control);
        EXPECT_EQ((std::array{got.left, got.top, got.width, got.height}),
                  (std::array{want.left, want.top, want.width, want.height}))
            << control->objectName().toStdString();
    }
};

TEST_F(LayoutTest, DesignClientAreaGivesTheDesignLayout) {
    // The real window event, not a direct call: the client area is 916 x 498 pixels.
    form->resize(916, 498);
    QApplication::processEvents();
    ExpectTwips(form->lstApps, {3360, 960, 4005, 6270});
    ExpectTwips(form->lstAppsHidden, {3360, 960, 4005, 6270});
    ExpectTwips(form->lstStatus, {7440, 1540, 6140, 5770});
    ExpectTwips(form->PicMiddle, {3240, 0, 10240, 855});
    ExpectTwips(form->PicSearch, {4580, 2490, 7575, 1575});
    ExpectTwips(form->PicLeftNavMenu, {0, 840, 3285, 7470});
    ExpectTwips(form->PicInfo, {0, 2770, 4215, 3615});
    ExpectTwips(form->PicResetOptions, {9540, 0, 4215, 7470});
    EXPECT_EQ(form->Twips(form->lblInfo).top, 5670);
    EXPECT_EQ(form->Twips(form->lblOpenAppDataDir).left, 12740);
    EXPECT_EQ(form->lstStatus->geometry(), QRect(496, 103, 409, 384)); // 15 twips a pixel
}

TEST_F(LayoutTest, ARuleThatWouldMakeASizeNegativeKeepsItAndTheRulesAfterItStillApply) {
    form->Form_Resize(13740, 7470);
    form->Form_Resize(7000, 1000);
    EXPECT_EQ(form->Twips(form->lstApps).height, 6270);
    EXPECT_EQ(form->Twips(form->lstStatus).width, 6140);
    EXPECT_EQ(form->Twips(form->lstStatus).height, 5770);
    EXPECT_EQ(form->Twips(form->PicMiddle).width, 3500);
    EXPECT_EQ(form->Twips(form->PicInfo).top, -3700); // positions may go negative
    EXPECT_EQ(form->Twips(form->lblOpenAppDataDir).left, 6000);
}

TEST_F(LayoutTest, ResizingOrMinimisingClosesTheOpenPanels) {
    const auto openBoth = [&] {
        form->lblInfo_Click();
        form->lblRepair_Click();
    };
    openBoth();
    form->resize(1000, 600);
    QApplication::processEvents();
    EXPECT_FALSE(form->PicInfo->isVisible() || form->PicResetOptions->isVisible());
    openBoth();
    form->showMinimized();
    QApplication::processEvents();
    EXPECT_FALSE(form->PicInfo->isVisible() || form->PicResetOptions->isVisible());
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

TEST_F(LayoutTest, AnIconFileIsShownAtSixteenPixels) {
    std::filesystem::create_directories(Data());
    QImage red(32, 32, QImage::Format_ARGB32);
    red.fill(Qt::red);
    ASSERT_TRUE(red.save(QString::fromStdString(form->roots().IconFile()), "ICO"));
    modUI::ApplyWindowLook(*form);
    EXPECT_EQ(form->windowIcon().pixmap(16, 16).toImage().pixelColor(8, 8), QColor(Qt::red));
    EXPECT_EQ(form->windowIcon().availableSizes().value(0), QSize(16, 16));
}
