// The layout rules on resize, the panels a resize closes, the captions' widths and the
// window icon.
#include "WindowFixture.h"
#include "window/modUI.h"

#include <QApplication>
#include <QImage>

using testsupport::WindowTest;

class LayoutTest : public WindowTest {
protected:
    void SetUp() override { Start(); }
};

// The rules restate the design's numbers; checked here are what they must keep true: the
// two lists exactly over each other, twips turned into pixels, the panel at the right edge.
TEST_F(LayoutTest, DesignClientAreaGivesTheDesignLayout) {
    // The real window event, not a direct call: the client area is 916 x 498 pixels.
    form->resize(916, 498);
    QApplication::processEvents();
    EXPECT_EQ(form->lstAppsHidden->geometry(), form->lstApps->geometry());
    EXPECT_EQ(form->lstStatus->geometry(), QRect(496, 103, 409, 384)); // 15 twips a pixel
    EXPECT_EQ(form->PicResetOptions->geometry(), QRect(636, 0, 281, 498));
}

TEST_F(LayoutTest, ARuleThatWouldMakeASizeNegativeKeepsItAndTheRulesAfterItStillApply) {
    form->Form_Resize(13740, 7470);
    form->Form_Resize(7000, 1000);
    EXPECT_EQ(form->Twips(form->lstApps).height, 6270);
    EXPECT_EQ(form->Twips(form->PicMiddle).width, 3500);
    EXPECT_EQ(form->Twips(form->PicInfo).top, -3700); // positions may go negative
    EXPECT_EQ(form->Twips(form->lblOpenAppDataDir).left, 6000);
}

TEST_F(LayoutTest, ResizingOrMinimisingClosesTheOpenPanels) {
    for (const bool minimise : {false, true}) {
        form->lblInfo_Click();
        form->lblRepair_Click();
        minimise ? form->showMinimized() : form->resize(1000, 600);
        QApplication::processEvents();
        EXPECT_FALSE(form->PicInfo->isVisible() || form->PicResetOptions->isVisible());
    }
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
