// The six operations on real package folders: exact status lines, the log file, and
// what each leaves on disk, including when the disk or the app list fights back.
#include "WindowFixture.h"
#include "locale/LocaleClock.h"

#include <QDate>
#include <QLocale>
#include <QProgressDialog>
#include <QRegularExpression>
#include <QScrollBar>
#include <QTimer>
#include <unistd.h>

using namespace testsupport;
namespace fs = std::filesystem;

namespace {
const std::string kHeaderRule = "====================== ";
const std::string kStatistics = "====================== Statistics =========================";
const std::string kClosing = "=====================================================";
} // namespace

class OperationsTest : public WindowTest {
protected:
    std::string Pkgs() const { return profile.packages().string(); }
    std::string Backup() const { return (profile.program() / "Backup").string() + "/"; }

    // Two apps, both ticked; the second has no Settings folder.
    void StartWithTwoApps() {
        profile.AddPackage("Example.Notes_abc");
        fs::remove_all(profile.AddPackage("Example.Maps_def") / "Settings");
        StartAndSearch();
        TickApp("Example Notes");
        TickApp("Example Maps");
    }
    void Yes() { services.questions.Answer(services::IDYES); }
};

TEST_F(OperationsTest, BackupOfTwoAppsWritesTheExactLinesAndTheLog) {
    StartWithTwoApps();
    Yes();
    form->lblBackup_Click();
    ASSERT_EQ(services.questions.asked.size(), 1u);
    EXPECT_EQ(services.questions.asked[0].prompt,
              "Do you want to run the Backup?\r\n(2 Apps to " + Backup() + ")");
    EXPECT_EQ(services.questions.asked[0].style, 68);
    EXPECT_EQ(services.questions.asked[0].title, "Backup");

    const std::vector<std::string> expected = {
        kHeaderRule + "Dittoly UA - Backup process - Saturday, 5 December 2026 " +
            "=========================",
        "14:05:09 Example Maps | Backup [from] " + Pkgs() + "/Example.Maps_def/Settings/ [to] " +
            Backup() + "Example.Maps_def/  <Error>",
        "14:05:09 Example Notes | Backup [from] " + Pkgs() + "/Example.Notes_abc/Settings/ [to] " +
            Backup() + "Example.Notes_abc/  <OK>",
        kStatistics,
        "Total Apps backed up: 2",
        kClosing,
        "14:05:09 Log saved to " + Backup() + " <OK>"};
    EXPECT_EQ(StatusLines(), expected);
    // Each line, the longer status lines after the shorter header included, is drawn whole
    // and the horizontal scroll bar reaches its end.
    const window::VbList* list = form->lstStatus;
    for (int i = 0; i < list->ListCount(); ++i) {
        const int text = list->fontMetrics().horizontalAdvance(list->List(i));
        EXPECT_GE(list->visualItemRect(list->item(i)).width(), text) << i;
        EXPECT_GE(list->horizontalScrollBar()->maximum() + list->viewport()->width(), text) << i;
    }
    EXPECT_EQ(form->lblStatus->Caption(), "Backup complete.");
    EXPECT_EQ(form->lblApp->Caption(), "Example Notes"); // the last app processed

    std::string log;
    for (std::size_t i = 0; i + 1 < expected.size(); ++i) {
        log += expected[i] + "\r\n";
    }
    EXPECT_EQ(ReadText(profile.program() / "Backup" / "Dittoly UA.txt"), log);
    EXPECT_EQ(
        ReadText(profile.program() / "Backup" / "Example.Notes_abc" / "Settings" / "settings.dat"),
        "settings of Example.Notes_abc");
    EXPECT_TRUE(fs::is_directory(profile.program() / "Backup" / "Example.Maps_def"));
}

TEST_F(OperationsTest, LinesFollowTheLocaleTimeAndLongDate) {
    regional::LocaleClock clock;
    services::Services real{services.questions, services.launcher, clock};
    profile.AddPackage("Example.Notes_abc");
    form = std::make_unique<window::frmMain>(profile.roots(), real);
    form->lblSearch_Click();
    form->lstAppsHidden->SetSelected(0, true);
    Yes();
    form->lblBackup_Click();
    const auto lines = StatusLines();
    const QString date = QLocale::system().toString(QDate::currentDate(), QLocale::LongFormat);
    EXPECT_EQ(lines[0], kHeaderRule + "Dittoly UA - Backup process - " + date.toStdString() +
                            " =========================");
    const QString stamp = QString::fromStdString(lines[1]).section(' ', 0, 0);
    const QString format = regional::TimeFormatWithoutZone(QLocale::system());
    EXPECT_TRUE(QTime::fromString(stamp, format).isValid()) << lines[1];
}

TEST_F(OperationsTest, NoTickAndADeclinedQuestion) {
    profile.AddPackage("Example.Notes_abc");
    StartAndSearch();
    Yes();
    form->lblRestore_Click(); // no app ticked, no Backup folder yet: no log
    EXPECT_EQ(StatusLines(),
              (std::vector<std::string>{kHeaderRule +
                                            "Dittoly UA - Restore process - Saturday, 5 December "
                                            "2026 =========================",
                                        kStatistics, "Total Apps restored: 0", kClosing}));
    EXPECT_FALSE(fs::exists(profile.program() / "Backup"));

    TickApp("Example Notes");
    Yes();
    form->lblBackup_Click();
    const auto before = StatusLines();
    const auto disk = TreeFingerprint(profile.base().path());
    form->lblRepair_Click();
    form->lblHardReset_Click(); // answered No
    form->lblReset_Click();
    form->lblClearAppCache_Click();
    form->lblClearAppStoreCache_Click();
    EXPECT_EQ(StatusLines(), before);
    EXPECT_EQ(form->lblStatus->Caption(), "Backup complete.");
    EXPECT_TRUE(form->PicResetOptions->isVisible());
    EXPECT_EQ(TreeFingerprint(profile.base().path()), disk);
    EXPECT_EQ(services.launcher.storeCacheStarts, 0);
}

TEST_F(OperationsTest, BackupTwiceRestoreReplacesAndRecreates) {
    const fs::path pkg = profile.AddPackage("Example.Notes_abc");
    StartAndSearch();
    TickApp("Example Notes");
    Yes();
    form->lblBackup_Click();
    const fs::path saved = profile.program() / "Backup" / "Example.Notes_abc" / "Settings";
    fs::remove(pkg / "Settings" / "roaming" / "state.json");
    WriteText(pkg / "Settings" / "settings.dat", "changed");
    Yes();
    form->lblBackup_Click();
    EXPECT_EQ(ReadText(saved / "settings.dat"), "changed");     // replaced
    EXPECT_FALSE(fs::exists(saved / "roaming" / "state.json")); // gone from the app, gone here

    WriteText(pkg / "Settings" / "live-only.txt", "live");
    WriteText(pkg / "Settings" / "settings.dat", "live change");
    Yes();
    form->lblRestore_Click();
    EXPECT_EQ(ReadText(pkg / "Settings" / "settings.dat"), "changed");
    EXPECT_FALSE(fs::exists(pkg / "Settings" / "live-only.txt")); // Settings is the backup
    EXPECT_NE(StatusLines()[1].find("| Restore [from] " + Backup() +
                                    "Example.Notes_abc/Settings/ [to] " + Pkgs() +
                                    "/Example.Notes_abc  <OK>"),
              std::string::npos);

    profile.AddPackage("Other.App_o"); // untouched by everything below
    const auto other = TreeFingerprint(profile.packages() / "Other.App_o");
    Yes();
    form->lblRepair_Click();
    form->lblHardReset_Click();
    EXPECT_FALSE(form->PicResetOptions->isVisible());
    EXPECT_FALSE(fs::exists(pkg));
    EXPECT_EQ(StatusLines()[1],
              "14:05:09 Example Notes | Hard Reset " + Pkgs() + "/Example.Notes_abc <OK>");
    EXPECT_EQ(form->lblStatus->Caption(), "Hard Reset complete.");
    Yes();
    form->lblRestore_Click();
    EXPECT_EQ(ReadText(pkg / "Settings" / "settings.dat"), "changed");
    EXPECT_EQ(TreeFingerprint(profile.packages() / "Other.App_o"), other);
}

TEST_F(OperationsTest, ResetTwiceAndTheExactPrompts) {
    const fs::path pkg = profile.AddPackage("Example.Notes_abc");
    StartAndSearch();
    TickApp("Example Notes");
    Yes();
    form->lblReset_Click();
    EXPECT_EQ(services.questions.asked[0].prompt,
              "Do you want to Reset the configuration of selected apps to factory defaults?"
              "\r\n\r\nFollowing data will be deleted\r\n- SETTINGS FILES");
    EXPECT_EQ(services.questions.asked[0].title, "Normal Reset");
    EXPECT_FALSE(fs::exists(pkg / "Settings"));
    EXPECT_TRUE(fs::exists(pkg / "LocalState"));
    EXPECT_EQ(StatusLines()[1],
              "14:05:09 Example Notes | Reset " + Pkgs() + "/Example.Notes_abc/Settings <OK>");
    EXPECT_EQ(StatusLines().size(), 5u); // no Backup folder: no log line
    Yes();
    form->lblReset_Click();
    EXPECT_EQ(StatusLines()[1].substr(StatusLines()[1].size() - 7), "<Error>");
    EXPECT_EQ(StatusLines()[3], "Total Apps reseted: 1");

    form->lblHardReset_Click(); // answered No; only the prompt matters here
    EXPECT_EQ(services.questions.asked.back().prompt,
              "Do you want to clear all data of selected apps?\r\n\r\nFollowing data will be "
              "deleted\r\n- SETTINGS FILES\r\n- APP DATA\r\n- PREFERENCES\r\n- SIGN-IN DETAILS");
    EXPECT_EQ(services.questions.asked.back().style, 52);
}

TEST_F(OperationsTest, ClearAppCacheLeavesAnEmptyFolderEitherWay) {
    const fs::path full = profile.AddPackage("A.App_a");
    const fs::path none = profile.AddPackage("B.App_b");
    fs::remove_all(none / "LocalCache");
    StartAndSearch();
    form->lblSelect_Click();
    Yes();
    form->lblClearAppCache_Click();
    for (const fs::path& pkg : {full, none}) {
        EXPECT_TRUE(fs::is_directory(pkg / "LocalCache"));
        EXPECT_TRUE(fs::is_empty(pkg / "LocalCache"));
        EXPECT_TRUE(fs::exists(pkg / "Settings" / "settings.dat"));
    }
    const auto lines = StatusLines();
    EXPECT_EQ(lines[1], "14:05:09 A App | Clear App Cache " + Pkgs() + "/A.App_a/LocalCache <OK>");
    EXPECT_EQ(lines[2],
              "14:05:09 B App | Clear App Cache " + Pkgs() + "/B.App_b/LocalCache <Error>");
    EXPECT_EQ(lines[4], "Total Apps cleared: 2");
    EXPECT_EQ(form->lblStatus->Caption(), "Clear App Cache complete.");
}

TEST_F(OperationsTest, ClearAppStoreCacheWritesFiveLinesAndNoLog) {
    profile.AddPackage("A.App_a");
    StartAndSearch();
    TickApp("A App");
    fs::create_directories(profile.program() / "Backup");
    WriteText(profile.program() / "Backup" / "Dittoly UA.txt", "earlier run");
    for (const bool starts : {true, false}) {
        services.launcher.storeCacheStartSucceeds = starts;
        Yes();
        form->lblClearAppStoreCache_Click();
        EXPECT_EQ(
            StatusLines(),
            (std::vector<std::string>{
                kHeaderRule + "Dittoly UA - Clear App Store Cache process - Saturday, 5 "
                              "December 2026 =========================",
                std::string("14:05:09 Clear App Store Cache ") + (starts ? "<OK>" : "<Error>"),
                kStatistics, "Total Apps cleared: Clear App Store Cache", kClosing}));
    }
    EXPECT_EQ(services.launcher.storeCacheStarts, 2);
    EXPECT_EQ(form->lstAppsHidden->SelCount(), 1);
    EXPECT_EQ(ReadText(profile.program() / "Backup" / "Dittoly UA.txt"), "earlier run");
}

TEST_F(OperationsTest, AnUnwritableLogIsReportedAsAnError) {
    profile.AddPackage("A.App_a");
    StartAndSearch();
    fs::create_directories(profile.program() / "Backup" / "Dittoly UA.txt"); // a folder
    Yes();
    form->lblBackup_Click();
    EXPECT_EQ(StatusLines().back(), "14:05:09 Log saved to " + Backup() + " <Error>");
}

// ---- Fault injection: every failure stays on its app's line and inside its folder ----

TEST_F(OperationsTest, HostileNamesFromAHandEditedAppListTouchNothing) {
    profile.AddPackage("Good.App_g");
    WriteText(profile.packages() / "Settings" / "keep.txt", "a folder named like a subfolder");
    WriteText(profile.program() / "Data" / "uapps.dat",
              std::string("\r\n.\r\n..\r\n../..\r\nGood.App_g/../..\r\nNul") + '\0' +
                  "Name_x\r\n..\\..\r\nGood.App_g\r\n");
    Start();
    const int rows = form->lstAppsHidden->ListCount();
    ASSERT_EQ(rows, 8);
    form->lblSelect_Click();
    const std::string appList = ReadText(profile.program() / "Data" / "uapps.dat");
    for (auto click : {&window::frmMain::lblHardReset_Click, &window::frmMain::lblReset_Click,
                       &window::frmMain::lblClearAppCache_Click, &window::frmMain::lblBackup_Click,
                       &window::frmMain::lblRestore_Click}) {
        Yes();
        ((*form).*click)();
        const auto lines = StatusLines();
        ASSERT_GE(lines.size(), static_cast<std::size_t>(rows) + 4u);
        for (int i = 0; i < rows; ++i) {
            if (form->lstApps->List(i) != "Good.App_g") {
                EXPECT_TRUE(lines[i + 1].ends_with("<Error>")) << lines[i + 1];
            }
        }
        EXPECT_EQ(lines[rows + 1], kStatistics);
    }
    // Only the good package and its backup changed; PackagesRoot, the folder named like a
    // package subfolder and the program's own files are as they were.
    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(profile.packages())) {
        left.push_back(entry.path().filename().string());
    }
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"Good.App_g", "Settings"}));
    EXPECT_EQ(TreeFingerprint(profile.packages() / "Settings"),
              "keep.txt = a folder named like a subfolder\n");
    EXPECT_EQ(ReadText(profile.program() / "Data" / "uapps.dat"), appList);
    std::vector<std::string> backups;
    for (const auto& entry : fs::directory_iterator(profile.program() / "Backup")) {
        backups.push_back(entry.path().filename().string());
    }
    std::sort(backups.begin(), backups.end());
    EXPECT_EQ(backups, (std::vector<std::string>{"Dittoly UA.txt", "Good.App_g"}));
}

TEST_F(OperationsTest, DiskFaultsStayOnTheirAppsLine) {
    const fs::path linked = profile.AddPackage("Linked.App_l");
    WriteText(profile.base().path() / "outside" / "secret.txt", "outside");
    fs::create_symlink(profile.base().path() / "outside" / "secret.txt",
                       linked / "Settings" / "escape");
    profile.AddPackage("Blocked.App_b");
    WriteText(profile.program() / "Backup" / "Blocked.App_b", "a file where a folder goes");
    profile.AddPackage("Vanished.App_v");
    profile.AddPackage("Fine.App_f");
    StartAndSearch();
    form->lblSelect_Click();
    fs::remove_all(profile.packages() / "Vanished.App_v"); // gone between tick and run
    const auto outside = TreeFingerprint(profile.base().path() / "outside");

    Yes();
    form->lblBackup_Click();
    auto lines = StatusLines();
    ASSERT_EQ(lines.size(), 9u);
    EXPECT_TRUE(lines[1].starts_with("14:05:09 Blocked App |") && lines[1].ends_with("<Error>"));
    EXPECT_TRUE(lines[2].starts_with("14:05:09 Fine App |") && lines[2].ends_with("<OK>"));
    EXPECT_TRUE(lines[3].starts_with("14:05:09 Linked App |") && lines[3].ends_with("<Error>"));
    EXPECT_TRUE(lines[4].starts_with("14:05:09 Vanished App |") && lines[4].ends_with("<Error>"));
    EXPECT_EQ(lines[6], "Total Apps backed up: 4");
    EXPECT_EQ(ReadText(profile.program() / "Backup" / "Blocked.App_b"),
              "a file where a folder goes");
    EXPECT_FALSE(fs::exists(profile.program() / "Backup" / "Linked.App_l" / "Settings" / "escape"));
    EXPECT_TRUE(
        fs::exists(profile.program() / "Backup" / "Linked.App_l" / "Settings" / "settings.dat"));

    // Deleting a tree with a link in it removes the link, never what it points to.
    Yes();
    form->lblReset_Click();
    EXPECT_FALSE(fs::exists(linked / "Settings"));
    EXPECT_EQ(TreeFingerprint(profile.base().path() / "outside"), outside);

    if (::geteuid() != 0) { // permission bits do not stop root
        const fs::path locked = profile.AddPackage("Locked.App_k");
        fs::permissions(locked / "Settings" / "roaming", fs::perms::none);
        form->lblApps_Click();
        TickApp("Locked App");
        Yes();
        form->lblBackup_Click();
        EXPECT_TRUE(StatusLines()[1].ends_with("<Error>"));
    }
}

TEST_F(OperationsTest, ALongRunShowsProgressAndRefusesASecondRun) {
    for (int i = 0; i < 150; ++i) { // 150 lines at 10 ms each: well past half a second
        profile.AddEmptyPackage("Pkg" + std::to_string(100 + i) + "_x");
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
        EXPECT_TRUE(std::filesystem::exists(profile.packages() /
                                            ("Pkg" + std::to_string(100 + i) + "_x") / "f"));
    }
}
