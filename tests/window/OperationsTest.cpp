// The operations as the window runs them: each command asks its own question, ticks reach
// the right package folders, lines show whole, a run started from the options panel closes
// it. The exact lines and the log are the core's (tests/operations); what each command
// leaves on the disk over a whole run is the tour's; a long run (progress, a second run
// refused, input dropped) is the real-X test's.
#include "WindowFixture.h"

#include <QAccessible>
#include <QProgressDialog>
#include <QPushButton>
#include <QRegularExpression>
#include <QScrollBar>
#include <QTimer>

using namespace testsupport;
using operations::Operation;
using window::frmMain;

class OperationsTest : public WindowTest {
protected:
    void Run(void (frmMain::*click)()) {
        services.questions.Answer(services::IDYES);
        ((*form).*click)();
    }
};

// A command wired to another operation or acting on "No"; then a tick mapped to the wrong
// package, a line changed or not shown whole, a caption or current app left wrong. The
// lines' exact texts are the run frame's (tests/operations).
TEST_F(OperationsTest, EachCommandAsksItsQuestionAndBackupTakesTheTickedApps) {
    profile.AddPackage("Example.Notes_abc");
    fs::remove_all(profile.AddPackage("Example.Maps_def") / "Settings");
    profile.AddPackage("Unticked.App_u");
    StartAndSearch();
    TickApp("Example Notes");
    TickApp("Example Maps");
    form->lblRepair_Click();
    const auto disk = TreeFingerprint(profile.base().path());
    const std::pair<void (frmMain::*)(), Operation> cases[] = {
        {&frmMain::lblBackup_Click, Operation::Backup},
        {&frmMain::lblRestore_Click, Operation::Restore},
        {&frmMain::lblReset_Click, Operation::Reset},
        {&frmMain::lblHardReset_Click, Operation::HardReset},
        {&frmMain::lblClearAppCache_Click, Operation::ClearAppCache},
        {&frmMain::lblClearAppStoreCache_Click, Operation::ClearAppStoreCache}};
    for (const auto& [click, op] : cases) {
        ((*form).*click)(); // answered No
        const AskedQuestion& asked = services.questions.asked.back();
        EXPECT_EQ(asked.prompt, operations::Prompt(op, 2, profile.roots()));
        EXPECT_EQ(asked.title, operations::TextsOf(op).caption);
        EXPECT_EQ(asked.style, op == Operation::HardReset ? 52 : 68) << asked.title;
    }
    EXPECT_EQ(services.questions.asked[0].prompt, "Do you want to run the Backup?\r\n(2 Apps to " +
                                                      (profile.program() / "Backup").string() +
                                                      "/)");
    EXPECT_TRUE(StatusLines().empty() && form->PicResetOptions->isVisible());
    EXPECT_EQ(TreeFingerprint(profile.base().path()), disk);
    EXPECT_EQ(services.launcher.storeCacheStarts, 0);

    Run(&frmMain::lblBackup_Click);
    const auto lines = StatusLines();
    ASSERT_EQ(lines.size(), 7u);
    EXPECT_EQ(modGlobal::CrLfLines({lines.begin(), lines.end() - 1}),
              ReadText(profile.program() / "Backup" / "Dittoly UA.txt"));
    EXPECT_FALSE(fs::exists(profile.program() / "Backup" / "Unticked.App_u"));
    const window::VbList* list = form->lstStatus;
    EXPECT_EQ(list->textElideMode(), Qt::ElideNone); // no "…" even where a row falls short
    for (int i = 0; i < list->ListCount(); ++i) {
        const int text = list->fontMetrics().horizontalAdvance(list->List(i));
        EXPECT_GE(list->visualItemRect(list->item(i)).width(), text) << i;
        EXPECT_GE(list->horizontalScrollBar()->maximum() + list->viewport()->width(), text) << i;
    }
    EXPECT_EQ(form->lblStatus->Caption(), "Backup complete.");
    EXPECT_EQ(form->lblApp->Caption(), "Example Notes"); // the last app processed
}

// A run from the options panel that leaves it open, a Restore with nothing ticked that
// makes the Backup folder, or a run that reaches an unticked app. A package removed since
// the search is the run frame's.
TEST_F(OperationsTest, RunsFromTheOptionsPanelCloseItAndTouchOnlyTheTickedApp) {
    const fs::path pkg = profile.AddPackage("Example.Notes_abc");
    profile.AddPackage("Other.App_o");
    const auto other = TreeFingerprint(profile.packages() / "Other.App_o");
    StartAndSearch();
    Run(&frmMain::lblRestore_Click);
    EXPECT_EQ(StatusLines()[2], "Total Apps restored: 0");
    EXPECT_FALSE(fs::exists(profile.program() / "Backup"));
    TickApp("Example Notes");
    for (auto click : {&frmMain::lblClearAppStoreCache_Click, &frmMain::lblClearAppCache_Click,
                       &frmMain::lblReset_Click, &frmMain::lblHardReset_Click}) {
        form->lblRepair_Click();
        Run(click);
        EXPECT_FALSE(form->PicResetOptions->isVisible());
        EXPECT_TRUE(StatusLines()[1].ends_with("<OK>")) << StatusLines()[1];
    }
    EXPECT_FALSE(fs::exists(pkg));
    EXPECT_EQ(TreeFingerprint(profile.packages() / "Other.App_o"), other);
}

// Long because it guards data safety: names from a hand-edited app list reach the
// operations byte for byte (two folders whose names differ only in a byte that is not
// UTF-8 stay two apps), and names that are not one plain folder name are refused.
TEST_F(OperationsTest, HandEditedNamesKeepTheirBytesAndHostileOnesTouchNothing) {
    profile.AddPackage("Twin.App_\xff");
    profile.AddPackage("Twin.App_\xef\xbf\xbd");
    WriteText(profile.program() / "Data" / "uapps.dat",
              "..\r\nTwin.App_\xff\r\nTwin.App_\xef\xbf\xbd\r\nTwin.App_\xff/../..\r\n");
    const fs::path kept = profile.packages() / "Twin.App_\xef\xbf\xbd";
    const auto twin = TreeFingerprint(kept);
    Start();
    ASSERT_EQ(form->lstApps->ListCount(), 4);
    // Sorted by bytes: "..", the twin kept, "..._\xff", "..._\xff/../..".
    for (int row : {0, 2, 3}) {
        form->lstAppsHidden->SetSelected(row, true);
    }
    Run(&frmMain::lblHardReset_Click);
    EXPECT_FALSE(fs::exists(profile.packages() / "Twin.App_\xff"));
    EXPECT_EQ(TreeFingerprint(kept), twin);
    EXPECT_EQ(std::distance(fs::directory_iterator(profile.packages()), {}), 1);
}

// Catches: a progress dialog that does not name the app, count its files and bytes against
// their totals and the apps done, or stands still; a Cancel lost, or one that lets the copy
// run on, leaves a staging folder or touches the previous backup or the live folder; a
// cancelled line that is not "<Error>" or whose tooltip lacks the reason; an accessibility
// client's press that acts during the run (clicks and keys are held back then; "Apps"
// pressed that way left the search panel over the list). The copy is held
// after each of its files, so the dialog is seen at two known points however fast the
// machine is. The dialog's pictures go to progress-dialog-1.png and -2.png in the working
// folder.
TEST_F(OperationsTest, ABackupSaysHowFarItIsAndCancelLeavesEverythingAsItWas) {
    profile.AddPackage("Example.Notes_abc");
    const fs::path pkg = profile.AddPackage("Zoo.Big_z");
    StartAndSearch();
    form->lblSelect_Click();
    Run(&frmMain::lblBackup_Click); // the previous backup
    for (int i = 0; i < 8; ++i) {
        WriteText(pkg / "Settings" / ("part" + std::to_string(i)), std::string(1000, 'x'));
    }
    const fs::path backup = profile.program() / "Backup" / "Zoo.Big_z";
    const auto before = TreeFingerprint(backup) + TreeFingerprint(pkg);
    RunGate gate(*form, 1);
    QList<QString> seen; // the dialog's texts after the first and the second file
    QTimer poll;
    poll.callOnTimeout([&] {
        auto* progress = form->findChild<QProgressDialog*>("progress");
        const QString text = progress != nullptr ? progress->labelText() : "";
        if (!gate.Waiting() || !text.contains(" files") || (!seen.empty() && text == seen[0])) {
            return;
        }
        seen.push_back(text);
        progress->grab().save(QString("progress-dialog-%1.png").arg(seen.size()));
        if (seen.size() == 1) {
            gate.Let();
        } else {
            for (QWidget* control : {(QWidget*)form->lblApps, (QWidget*)form->chkExportSettings}) {
                QAccessible::queryAccessibleInterface(control)->actionInterface()->doAction(
                    QAccessibleActionInterface::pressAction());
            }
            progress->findChild<QPushButton*>()->click(); // a real one: the real-X test
            gate.Open();
            poll.stop();
        }
    });
    poll.start(20);
    Run(&frmMain::lblBackup_Click);
    // Eight files of 1,000 bytes besides settings.dat's 21 and state.json's 19.
    const QString files = " of " + QLocale().toString(10) + " files, .+ of " +
                          QLocale().formattedDataSize(8040, 1, QLocale::DataSizeIecFormat);
    for (int n : {1, 2}) {
        const QRegularExpression shown("^Working on the selected apps \\.\\.\\.\nZoo Big\n" +
                                       QLocale().toString(n) + files + "\n1 of 2 apps done$");
        EXPECT_TRUE(shown.match(seen.value(n - 1)).hasMatch()) << seen.join("\n").toStdString();
    }
    EXPECT_TRUE(StatusLines().at(2).ends_with("<Error>") &&
                StatusLines().at(4) == "Total Apps backed up: 2");
    EXPECT_EQ(TreeFingerprint(backup) + TreeFingerprint(pkg), before); // no staging left either
    EXPECT_TRUE(form->PicSearch->isHidden() && !form->chkExportSettings->isChecked());
    form->lstStatus->SetListIndex(2);
    form->lstStatus_MouseMove();
    EXPECT_EQ(form->lstStatus->toolTip(), form->lstStatus->Text() + "\ncancelled");
}
