// The search, the two parallel lists, ticks, counts and the tick handler, in a real window.
#include "WindowFixture.h"

#include <QApplication>
#include <QElapsedTimer>

using namespace testsupport;

namespace {

std::vector<std::string> Rows(const window::VbList* list) {
    std::vector<std::string> rows;
    for (int i = 0; i < list->ListCount(); ++i) {
        rows.push_back(list->List(i).toStdString());
    }
    return rows;
}

// Lets the real timer run until it has gone idle again.
void WaitForTimer(window::frmMain& form) {
    QElapsedTimer clock;
    clock.start();
    do {
        QApplication::processEvents(QEventLoop::AllEvents, 5);
    } while (form.Timer1->isActive() && clock.elapsed() < 2000);
}

} // namespace

class CatalogueTest : public WindowTest {};

TEST_F(CatalogueTest, SearchFillsBothListsAtTheSameIndexes) {
    profile.AddPackage("Vendor.App_x1");
    profile.AddPackage("Vendor.App.Beta_y2"); // shown as "Vendor App Beta", sorts first
    profile.AddPackage("_lead");
    profile.AddPackage("NoUnderscore");
    profile.AddPackage("My_Tool.App_xyz");
    WriteText(profile.packages() / "loose.txt", "a plain file directly in the root");
    WriteText(profile.packages() / "Hidden.Only_1" / ".state", "hidden");
    WriteText(profile.packages() / ".hidden.Package_2" / "Settings" / "s.dat", "hidden folder");
    StartAndSearch();

    EXPECT_EQ(Rows(form->lstApps),
              (std::vector<std::string>{"_lead", "loose.txt", "My_Tool.App_xyz", "NoUnderscore",
                                        "Vendor.App.Beta_y2", "Vendor.App_x1"}));
    EXPECT_EQ(Rows(form->lstAppsHidden),
              (std::vector<std::string>{"", "loose txt", "My_Tool App", "NoUnderscore",
                                        "Vendor App Beta", "Vendor App"}));
    EXPECT_EQ(form->lblAppsInstalled->Caption(), "6");
    EXPECT_EQ(form->lblSearch->Caption(), "please wait ...");
    EXPECT_FALSE(form->PicSearch->isVisible());
    EXPECT_TRUE(form->lstAppsHidden->isVisible());
    EXPECT_FALSE(form->lstApps->isVisible());
    for (const auto* label : form->AppCommands()) {
        EXPECT_TRUE(label->isEnabled());
    }
    EXPECT_EQ(form->lstAppsHidden->SelCount(), 0);
}

TEST_F(CatalogueTest, ASecondSearchListsOnlyWhatIsThereAndKeepsTheSelectState) {
    profile.AddPackage("A.App_a");
    profile.AddPackage("B.App_b");
    StartAndSearch();
    form->lblSelect_Click(); // ticks both
    Tick();
    EXPECT_EQ(form->lblAppsSelected->Caption(), "2");
    EXPECT_EQ(form->lblApp->Caption(), "A App");

    std::filesystem::remove_all(profile.packages() / "A.App_a");
    form->lblApps_Click();
    Tick();
    EXPECT_EQ(Rows(form->lstApps), std::vector<std::string>{"B.App_b"});
    EXPECT_EQ(form->lblAppsSelected->Caption(), "0");
    EXPECT_EQ(form->lblApp->Caption(), "A App"); // a search keeps the last app name
    EXPECT_TRUE(form->SelectAllState());
    form->lblSelect_Click(); // the state was kept: this click unticks
    EXPECT_EQ(form->lstAppsHidden->SelCount(), 0);
}

TEST_F(CatalogueTest, EmptyOrMissingPackagesRootGivesZeroAndTheSearchPanelBack) {
    StartAndSearch();
    EXPECT_EQ(form->lblAppsInstalled->Caption(), "0");
    EXPECT_TRUE(form->PicSearch->isVisible()); // brought back by the first tick
    EXPECT_EQ(form->lblSearch->Caption(), "please wait ...");

    std::filesystem::remove_all(profile.packages());
    form->lblApps_Click();
    Tick();
    EXPECT_EQ(form->lblAppsInstalled->Caption(), "0");
    EXPECT_TRUE(form->PicSearch->isVisible());
}

TEST_F(CatalogueTest, SelectAlternatesWhateverWasTickedByHand) {
    profile.AddPackage("A.App_a");
    profile.AddPackage("B.App_b");
    profile.AddPackage("C.App_c");
    StartAndSearch();
    TickApp("B App");
    form->lblSelect_Click();
    EXPECT_EQ(form->lstAppsHidden->SelCount(), 3);
    EXPECT_EQ(form->lstApps->SelCount(), 3);
    EXPECT_EQ(form->lstAppsHidden->ListIndex(), 0);

    // A hand untick reaches the package list through the real timer.
    form->lstAppsHidden->SetSelected(1, false);
    WaitForTimer(*form);
    EXPECT_FALSE(form->lstApps->Selected(1));
    EXPECT_EQ(form->lblAppsSelected->Caption(), "2");

    form->lblSelect_Click();
    EXPECT_EQ(form->lstAppsHidden->SelCount(), 0);
    form->lblSelect_Click();
    EXPECT_EQ(form->lstAppsHidden->SelCount(), 3);
}

TEST_F(CatalogueTest, SelectOnEmptyListsOnlyFlipsTheState) {
    StartAndSearch();
    form->lblSelect_Click();
    EXPECT_TRUE(form->SelectAllState());
    EXPECT_EQ(form->lstAppsHidden->ListIndex(), -1);
    EXPECT_EQ(form->lblApp->Caption(), "no app selected");
}

TEST_F(CatalogueTest, AppNameTooltipAndPackageListFollowTheCurrentEntry) {
    profile.AddPackage("A.App_a");
    profile.AddPackage("B.App_b");
    StartAndSearch();
    form->lstAppsHidden_MouseMove();
    EXPECT_EQ(form->lstAppsHidden->toolTip(), ""); // no current entry yet

    form->lstAppsHidden->SetListIndex(1); // set by the program, not by a click
    EXPECT_EQ(form->lblApp->Caption(), "B App");
    WaitForTimer(*form);
    EXPECT_EQ(form->lstApps->ListIndex(), 1);
    EXPECT_EQ(form->lstApps->Text(), "B.App_b");
    form->lstAppsHidden_MouseMove();
    EXPECT_EQ(form->lstAppsHidden->toolTip(), "B App");

    form->lstAppsHidden->SetListIndex(-1);
    WaitForTimer(*form);
    EXPECT_EQ(form->lstApps->ListIndex(), -1);
}

TEST_F(CatalogueTest, AnIdleWindowStopsTicking) {
    profile.AddPackage("A.App_a");
    StartAndSearch();
    WaitForTimer(*form);
    EXPECT_FALSE(form->Timer1->isActive());
    form->lstAppsHidden->SetSelected(0, true);
    EXPECT_TRUE(form->Timer1->isActive()); // any change wakes it
    WaitForTimer(*form);
    EXPECT_TRUE(form->lstApps->Selected(0));
    EXPECT_FALSE(form->Timer1->isActive());
}
