// The stored configuration across program runs: each run is a real window started as
// the program starts it, on the same temporary program folder.
#include "WindowFixture.h"

#include <QApplication>
#include <QScreen>

using namespace testsupport;
namespace fs = std::filesystem;

using SettingsTest = WindowTest;

TEST_F(SettingsTest, ExportSaveRestoreAndDelete) {
    // Long: one configuration from its first export to its deletion, across restarts.
    profile.AddPackage("A.App_a");
    profile.AddPackage("B.App_b");
    StartAndSearch();
    TickApp("B App");
    Restart(); // no Data folder: the close stores nothing
    EXPECT_FALSE(fs::exists(Data()));

    // No: the box is cleared again and nothing is created.
    form->lblExportSettings_Click();
    EXPECT_EQ(services.questions.asked.size(), 1u);
    EXPECT_EQ(form->chkExportSettings->checkState(), Qt::Unchecked);
    EXPECT_FALSE(fs::exists(Data()));

    // Yes: the folder is made now, the files at the close.
    services.questions.Answer(services::IDYES);
    form->chkExportSettings->setCheckState(Qt::Checked);
    EXPECT_TRUE(fs::is_directory(Data()) && fs::is_empty(Data()));
    form->chkExportSettings->setCheckState(Qt::Unchecked); // clearing deletes nothing
    EXPECT_TRUE(fs::is_directory(Data()));
    services.questions.Answer(services::IDYES);
    form->lblExportSettings_Click(); // asked again: nothing is written before the close
    EXPECT_EQ(services.questions.asked.size(), 3u);

    form->lblSearch_Click();
    TickApp("B App");
    form->move(120, 80);
    form->resize(1000, 560);
    QApplication::processEvents();
    const QRect placed = form->frameGeometry();
    Restart();
    EXPECT_TRUE(Ini().starts_with("[UA]\r\nRunOnce=1\r\nSettings=1\r\nApps=0;-1\r\nLeft="));
    EXPECT_EQ(ReadText(Data() / "uapps.dat"), "A.App_a\r\nB.App_b\r\n");
    EXPECT_EQ(form->frameGeometry(), placed);
    EXPECT_EQ(TickedRows(form->lstAppsHidden), std::vector<int>{1});

    // Delete: the status line has no app text, the lists and ticks stay.
    form->lstAppsHidden->SetListIndex(1);
    services.questions.Answer(services::IDYES);
    form->lblDeleteSettings_Click();
    EXPECT_FALSE(fs::exists(Data()));
    EXPECT_EQ(StatusLines(),
              std::vector<std::string>{"14:05:09  | Hard Reset " + Data().string() + " <OK>"});
    EXPECT_EQ(form->lblApp->Caption(), "");
    EXPECT_EQ(TickedRows(form->lstAppsHidden), std::vector<int>{1});
    services.questions.Answer(services::IDYES);
    form->lblDeleteSettings_Click();
    EXPECT_TRUE(StatusLines()[0].ends_with("/Data <Error>"));
    Restart(); // the close after a delete stores nothing: a first run again
    EXPECT_FALSE(fs::exists(Data()));
    fs::create_directories(Data()); // an empty list is stored too
    Close();
    EXPECT_NE(Ini().find("\r\nApps=\r\n"), std::string::npos);
    EXPECT_EQ(ReadText(Data() / "uapps.dat"), "");
}

// How the file is kept on writing is the INI layer's (tests/platform); here, what the
// window takes from a hand-edited one.
TEST_F(SettingsTest, HandEditedSettingsAreReadWithCare) {
    std::string apps = "True;x;0;-1;5";
    std::string list;
    for (int i = 0; i < 1200; ++i) {
        apps += ";-1"; // far past the 2000 characters the value was once cut to
        list += "Pkg" + std::to_string(10000 + i) + "_x\r\n";
    }
    WriteText(Data() / "uapps.dat", list);
    WriteText(Data() / "dittoly.ini",
              "[ua]\r\nLEFT = 1492.5\r\nTop=1507.5\r\nWidth=abc\r\nHeight=\r\napps=" + apps);
    Start();
    // Halves to even, then 15 twips to the pixel: 1492.5 -> 1492 -> 99 px (1493 would give
    // 100 px), 1507.5 -> 1508 -> 101 px (1507 would give 100 px).
    EXPECT_FLOAT_EQ(form->Left(), 1485);
    EXPECT_FLOAT_EQ(form->Top(), 1515);
    // "x" is skipped, "0" unticks, every other entry ticks, however many apps there are.
    EXPECT_EQ(form->lstAppsHidden->ListCount(), 1200);
    EXPECT_EQ(form->lstAppsHidden->SelCount(), 1198);
    EXPECT_FALSE(form->lstAppsHidden->Selected(1) || form->lstAppsHidden->Selected(2));
}

TEST_F(SettingsTest, PlacementsOutOfReachAreNotApplied) {
    WriteText(Data() / "dittoly.ini", "[UA]\r\nLeft=40000\r\nTop=-30000\r\nWidth=12000\r\n");
    Start();
    EXPECT_FLOAT_EQ(form->Width(), 12000);
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    EXPECT_TRUE(screen.intersects(form->frameGeometry()));
}
