// The operations as the window runs them: the question each command asks, ticks mapped
// to the right package folders, the captions and the current app, the status list, and a
// long run that keeps the window alive. The exact lines and the log are the core's
// (tests/operations).
#include "WindowFixture.h"

#include <QProgressDialog>
#include <QScrollBar>
#include <QTimer>

using namespace testsupport;
using window::frmMain;

class OperationsTest : public WindowTest {
protected:
    std::string Pkgs() const { return profile.packages().string(); }
    std::string Backup() const { return (profile.program() / "Backup").string() + "/"; }
    void Yes() { services.questions.Answer(services::IDYES); }
};

// A wrong title, icon or text in a question, or a command that acts on "No".
TEST_F(OperationsTest, EachCommandAsksItsQuestionAndNoChangesNothing) {
    profile.AddPackage("Example.Notes_abc");
    StartAndSearch();
    TickApp("Example Notes");
    form->lblRepair_Click();
    const auto disk = TreeFingerprint(profile.base().path());
    const std::string items = "\r\n\r\nFollowing data will be deleted\r\n- SETTINGS FILES";
    const struct {
        void (frmMain::*click)();
        const char* title;
        int style;
        std::string prompt;
    } cases[] = {
        {&frmMain::lblBackup_Click, "Backup", 68,
         "Do you want to run the Backup?\r\n(1 Apps to " + Backup() + ")"},
        {&frmMain::lblRestore_Click, "Restore", 68, "Do you want to run the Restoration?"},
        {&frmMain::lblReset_Click, "Normal Reset", 68,
         "Do you want to Reset the configuration of selected apps to factory defaults?" + items},
        {&frmMain::lblHardReset_Click, "Hard Reset", 52,
         "Do you want to clear all data of selected apps?" + items +
             "\r\n- APP DATA\r\n- PREFERENCES\r\n- SIGN-IN DETAILS"},
        {&frmMain::lblClearAppCache_Click, "Clear App Cache", 68,
         "Do you want to clear the app cache?"},
        {&frmMain::lblClearAppStoreCache_Click, "Clear App Store Cache", 68,
         "Do you want to clear the app store cache?"},
    };
    for (const auto& c : cases) {
        ((*form).*c.click)(); // answered No
        const AskedQuestion& asked = services.questions.asked.back();
        EXPECT_EQ(asked.prompt, c.prompt);
        EXPECT_EQ(asked.style, c.style) << c.title;
        EXPECT_EQ(asked.title, c.title);
    }
    EXPECT_EQ(services.questions.asked.size(), std::size(cases));
    EXPECT_TRUE(StatusLines().empty());
    EXPECT_TRUE(form->PicResetOptions->isVisible());
    EXPECT_EQ(TreeFingerprint(profile.base().path()), disk);
    EXPECT_EQ(services.launcher.storeCacheStarts, 0);
}

// A tick mapped to the wrong package, a line not shown whole, a caption or current app
// left wrong.
TEST_F(OperationsTest, BackupWorksOnTheTickedAppsAndShowsEveryLineWhole) {
    profile.AddPackage("Example.Notes_abc");
    fs::remove_all(profile.AddPackage("Example.Maps_def") / "Settings");
    profile.AddPackage("Unticked.App_u");
    StartAndSearch();
    TickApp("Example Notes");
    TickApp("Example Maps");
    Yes();
    form->lblBackup_Click();
    const auto lines = StatusLines();
    ASSERT_EQ(lines.size(), 7u);
    EXPECT_EQ(lines[1], "14:05:09 Example Maps | Backup [from] " + Pkgs() +
                            "/Example.Maps_def/Settings/ [to] " + Backup() +
                            "Example.Maps_def/  <Error>");
    EXPECT_TRUE(lines[2].starts_with("14:05:09 Example Notes | Backup [from] " + Pkgs() +
                                     "/Example.Notes_abc/Settings/") &&
                lines[2].ends_with("<OK>"));
    EXPECT_EQ(lines[4], "Total Apps backed up: 2");
    EXPECT_FALSE(fs::exists(profile.program() / "Backup" / "Unticked.App_u"));
    const window::VbList* list = form->lstStatus;
    for (int i = 0; i < list->ListCount(); ++i) {
        const int text = list->fontMetrics().horizontalAdvance(list->List(i));
        EXPECT_GE(list->visualItemRect(list->item(i)).width(), text) << i;
        EXPECT_GE(list->horizontalScrollBar()->maximum() + list->viewport()->width(), text) << i;
    }
    EXPECT_EQ(form->lblStatus->Caption(), "Backup complete.");
    EXPECT_EQ(form->lblApp->Caption(), "Example Notes"); // the last app processed
}

TEST_F(OperationsTest, ResetHardResetAndRestoreLeaveOtherAppsAlone) {
    const fs::path pkg = profile.AddPackage("Example.Notes_abc");
    profile.AddPackage("Other.App_o");
    const auto other = TreeFingerprint(profile.packages() / "Other.App_o");
    StartAndSearch();
    Yes();
    form->lblRestore_Click(); // nothing ticked and no Backup folder yet: no log line
    EXPECT_EQ(StatusLines().size(), 4u);
    EXPECT_EQ(StatusLines()[2], "Total Apps restored: 0");
    EXPECT_FALSE(fs::exists(profile.program() / "Backup"));

    TickApp("Example Notes");
    Yes();
    form->lblBackup_Click();
    for (int run = 0; run < 2; ++run) { // the second finds no Settings folder
        Yes();
        form->lblReset_Click();
        EXPECT_TRUE(StatusLines()[1].ends_with(run == 0 ? "<OK>" : "<Error>"));
        EXPECT_EQ(StatusLines()[3], "Total Apps reseted: 1");
    }
    EXPECT_TRUE(fs::exists(pkg / "LocalState"));
    form->lblRepair_Click();
    Yes();
    form->lblHardReset_Click();
    EXPECT_FALSE(form->PicResetOptions->isVisible());
    EXPECT_FALSE(fs::exists(pkg));
    EXPECT_EQ(StatusLines()[1],
              "14:05:09 Example Notes | Hard Reset " + Pkgs() + "/Example.Notes_abc <OK>");
    EXPECT_EQ(form->lblStatus->Caption(), "Hard Reset complete.");
    Yes();
    form->lblRestore_Click(); // brings the package folder back with its Settings
    EXPECT_EQ(ReadText(pkg / "Settings" / "settings.dat"), "settings of Example.Notes_abc");
    EXPECT_EQ(TreeFingerprint(profile.packages() / "Other.App_o"), other);
}

TEST_F(OperationsTest, TheTwoCacheCommands) {
    const fs::path full = profile.AddPackage("A.App_a");
    const fs::path none = profile.AddPackage("B.App_b");
    fs::remove_all(none / "LocalCache");
    StartAndSearch();
    form->lblSelect_Click();
    Yes();
    form->lblClearAppCache_Click();
    for (const fs::path& pkg : {full, none}) {
        EXPECT_TRUE(fs::is_directory(pkg / "LocalCache") && fs::is_empty(pkg / "LocalCache"));
        EXPECT_TRUE(fs::exists(pkg / "Settings" / "settings.dat"));
    }
    EXPECT_TRUE(StatusLines()[2].ends_with("B.App_b/LocalCache <Error>"));
    EXPECT_EQ(form->lblStatus->Caption(), "Clear App Cache complete.");

    // The store cache ignores the ticks, writes five lines and no log, and says whether
    // the tool could be started.
    WriteText(profile.program() / "Backup" / "Dittoly UA.txt", "earlier run");
    for (const bool starts : {true, false}) {
        services.launcher.storeCacheStartSucceeds = starts;
        Yes();
        form->lblClearAppStoreCache_Click();
        const auto lines = StatusLines();
        ASSERT_EQ(lines.size(), 5u);
        EXPECT_EQ(lines[1],
                  std::string("14:05:09 Clear App Store Cache ") + (starts ? "<OK>" : "<Error>"));
        EXPECT_EQ(lines[3], "Total Apps cleared: Clear App Store Cache");
    }
    EXPECT_EQ(form->lstAppsHidden->SelCount(), 2);
    EXPECT_EQ(ReadText(profile.program() / "Backup" / "Dittoly UA.txt"), "earlier run");
}

// A hand-edited app list: names reach the operations byte for byte (two folders whose
// names differ only in a byte that is not UTF-8 stay two apps), and names that are not
// one plain folder name are refused.
TEST_F(OperationsTest, HandEditedNamesKeepTheirBytesAndHostileOnesTouchNothing) {
    profile.AddPackage("Twin.App_\xff");
    profile.AddPackage("Twin.App_\xef\xbf\xbd");
    WriteText(profile.program() / "Data" / "uapps.dat",
              "..\r\nTwin.App_\xff\r\nTwin.App_\xef\xbf\xbd\r\nTwin.App_\xff/../..\r\n");
    const fs::path kept = profile.packages() / "Twin.App_\xef\xbf\xbd";
    const auto twin = TreeFingerprint(kept);
    const auto appList = ReadText(profile.program() / "Data" / "uapps.dat");
    Start();
    ASSERT_EQ(form->lstApps->ListCount(), 4);
    for (int row :
         {0, 2, 3}) { // sorted by bytes: "..", the twin kept, "..._\xff", "..._\xff/../.."
        form->lstAppsHidden->SetSelected(row, true);
    }
    Yes();
    form->lblHardReset_Click();
    const auto lines = StatusLines();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& l) { return l.ends_with("<OK>"); }),
              1);
    EXPECT_FALSE(fs::exists(profile.packages() / "Twin.App_\xff"));
    EXPECT_EQ(TreeFingerprint(kept), twin);
    EXPECT_EQ(std::distance(fs::directory_iterator(profile.packages()), {}), 1);
    EXPECT_EQ(ReadText(profile.program() / "Data" / "uapps.dat"), appList);
}

TEST_F(OperationsTest, ALongRunShowsProgressAndRefusesASecondRun) {
    for (int i = 0; i < 150; ++i) { // 150 lines at 10 ms each: well past half a second
        WriteText(profile.packages() / ("Pkg" + std::to_string(100 + i) + "_x") / "f", "x");
    }
    StartAndSearch();
    form->lblSelect_Click();
    bool progressShown = false;
    bool refused = false;
    QTimer::singleShot(700, form.get(), [&] {
        const auto* progress = form->findChild<QProgressDialog*>("progress");
        progressShown = progress != nullptr && progress->isVisible();
        const std::size_t asked = services.questions.asked.size();
        Yes();
        form->lblHardReset_Click(); // a second run while the first goes on
        form->lblDeleteSettings_Click();
        refused = form->RunInProgress() && services.questions.asked.size() == asked;
    });
    Yes();
    form->lblClearAppCache_Click();
    EXPECT_TRUE(progressShown);
    EXPECT_TRUE(refused);
    EXPECT_FALSE(form->RunInProgress());
    const auto* progress = form->findChild<QProgressDialog*>("progress");
    EXPECT_TRUE(progress == nullptr || !progress->isVisible());
    EXPECT_EQ(StatusLines()[152], "Total Apps cleared: 150");
    for (int i = 0; i < 150; ++i) { // the second run never touched a package
        EXPECT_TRUE(
            fs::exists(profile.packages() / ("Pkg" + std::to_string(100 + i) + "_x") / "f"));
    }
}
