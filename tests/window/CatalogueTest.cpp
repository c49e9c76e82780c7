// The search, the two parallel lists, ticks, counts and the timer that keeps the package
// list in step with the visible one.
#include "WindowFixture.h"

using namespace testsupport;
using Names = std::vector<std::string>;

using CatalogueTest = WindowTest;

TEST_F(CatalogueTest, SelectAlternatesAndEachSearchListsOnlyWhatIsThere) {
    profile.AddPackage("A.App_a");
    profile.AddPackage("B.App_b");
    profile.AddPackage("C.App_c");
    StartAndSearch();
    TickApp("B App");
    form->lblSelect_Click(); // ticks all, whatever was ticked by hand
    Tick();
    EXPECT_EQ(TickedRows(form->lstApps), (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(form->lblAppsSelected->Caption(), "3");
    EXPECT_EQ(form->lblApp->Caption(), "A App"); // the first entry is made current
    form->lblSelect_Click();
    EXPECT_EQ(form->lstAppsHidden->SelCount() + form->lstApps->SelCount(), 0);
    form->lblSelect_Click();

    std::filesystem::remove_all(profile.packages() / "A.App_a");
    form->lblApps_Click();
    Tick();
    EXPECT_EQ(Rows(form->lstApps), (Names{"B.App_b", "C.App_c"}));
    EXPECT_EQ(form->lblAppsSelected->Caption(), "0");
    EXPECT_EQ(form->lblApp->Caption(), "A App"); // a search keeps the last app name
    form->lblSelect_Click();                     // the state was kept: this click unticks
    EXPECT_EQ(form->lstAppsHidden->SelCount(), 0);

    std::filesystem::remove_all(profile.packages());
    form->lblApps_Click();
    Tick();
    EXPECT_EQ(form->lblAppsInstalled->Caption(), "0");
    EXPECT_TRUE(form->PicSearch->isVisible()); // brought back over the empty list
}

// Both lists filled at the same indexes; the timer carries hand changes to the package
// list while something changed, then sleeps: an idle window costs nothing.
TEST_F(CatalogueTest, SearchFillsBothListsAndTheTimerKeepsThemInStep) {
    // Sorted by package, so the display names are not in order: "Vendor App_Beta" first (the
    // publisher hash follows the last "_", not the first).
    profile.AddPackage("Vendor.App_x1");
    profile.AddPackage("Vendor.App_Beta_y2");
    StartAndSearch();
    EXPECT_EQ(Rows(form->lstApps), (Names{"Vendor.App_Beta_y2", "Vendor.App_x1"}));
    EXPECT_EQ(Rows(form->lstAppsHidden), (Names{"Vendor App_Beta", "Vendor App"}));
    EXPECT_EQ(form->lblAppsInstalled->Caption(), "2");
    EXPECT_TRUE(form->lstAppsHidden->isVisible() && !form->PicSearch->isVisible());
    WaitForTimer();
    EXPECT_FALSE(form->Timer1->isActive());
    form->lstAppsHidden->SetSelected(1, true);
    EXPECT_TRUE(form->Timer1->isActive()); // any change wakes it
    form->lstAppsHidden->SetListIndex(1);  // set by the program, not by a click
    EXPECT_EQ(form->lblApp->Caption(), "Vendor App");
    WaitForTimer();
    EXPECT_FALSE(form->Timer1->isActive());
    EXPECT_EQ(TickedRows(form->lstApps), std::vector<int>{1});
    EXPECT_EQ(form->lblAppsSelected->Caption(), "1");
    EXPECT_EQ(form->lstApps->Text(), "Vendor.App_x1");
    form->lstAppsHidden_MouseMove();
    EXPECT_EQ(form->lstAppsHidden->toolTip(), "Vendor App");

    form->lstAppsHidden->SetSelected(1, false);
    form->lstAppsHidden->SetListIndex(-1);
    WaitForTimer();
    EXPECT_TRUE(TickedRows(form->lstApps).empty() && form->lstApps->ListIndex() == -1);
}
