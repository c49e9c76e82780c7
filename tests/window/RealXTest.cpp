// What only a real X server with a framing window manager shows: the frame around the
// stored placement, focus given by activation, and input made through the window system
// (xdotool) at an exact spot, while a run goes on, or from the keyboard alone. Runs under
// xvfb-run with openbox.
#include "SendClick.h"
#include "WindowFixture.h"
#include "window/QtServices.h"
#include "window/modStart.h"

#include "window/modUI.h"

#include <QAccessible>
#include <QDir>
#include <QProgressDialog>
#include <QPushButton>
#include <QTimer>
#include <QToolTip>
#include <iostream>
#include <optional>
#include <sys/stat.h>

using namespace testsupport;

namespace {

// Makes input with xdotool after `delayMs`, in the background while this thread is busy,
// and leaves `done` behind once the input is made.
void XdoLater(const QString& args, int delayMs, const fs::path& done) {
    QProcess::startDetached("sh", {"-c", QString("sleep %1; xdotool %2; touch '%3'")
                                             .arg(delayMs / 1000.0)
                                             .arg(args, QString::fromStdString(done.string()))});
}

// Lets the event loop run until `done` is there (or half a minute has passed).
bool SettleUntil(const fs::path& done) {
    QElapsedTimer clock;
    clock.start();
    while (!fs::exists(done) && clock.elapsed() < 30000) {
        Settle(20);
    }
    return fs::exists(done);
}

// Saves the screen to screenshots/`name` in the working folder and returns it.
QImage Screenshot(const QString& name) {
    QDir().mkpath("screenshots");
    const QString path = QDir::current().absoluteFilePath("screenshots/" + name);
    QProcess::execute("import", {"-window", "root", path});
    std::cout << "Screenshot: " << path.toStdString() << "\n";
    return QImage(path);
}

// The part of a control on the screen, in the screenshot's pixels.
QRect OnScreen(const QWidget* control, QRect rect) {
    return QRect(control->mapToGlobal(rect.topLeft()), rect.size()) &
           QRect(control->mapToGlobal(QPoint()), control->size());
}

// How many pixels of `area` are of the error colour's hue: red well above green and blue.
int ReddishPixels(const QImage& screen, const QRect& area) {
    int red = 0;
    for (int y = area.top(); y <= area.bottom(); ++y) {
        for (int x = area.left(); x <= area.right(); ++x) {
            const QColor c = screen.pixelColor(x, y);
            red += c.red() - c.green() > 80 && c.red() - c.blue() > 80 ? 1 : 0;
        }
    }
    return red;
}

// Within a few steps of `b` in each channel: the style may shade a selection a little.
bool Near(const QColor& a, const QColor& b) {
    return std::abs(a.red() - b.red()) < 12 && std::abs(a.green() - b.green()) < 12 &&
           std::abs(a.blue() - b.blue()) < 12;
}

} // namespace

class RealXTest : public WindowTest {
protected:
    // Starts the window and waits until the window manager has framed and activated it;
    // with `questions`, the program's own message boxes ask.
    void StartFramed(services::Questions* questions = nullptr) {
        if (questions != nullptr) {
            form = modStart::Main(profile.roots(), {*questions, services.launcher, services.clock});
        } else {
            Start();
        }
        QElapsedTimer clock;
        clock.start();
        while ((form->frameGeometry().size() == form->size() || !form->isActiveWindow()) &&
               clock.elapsed() < 30000) {
            Settle(20);
        }
        ASSERT_NE(form->frameGeometry().size(), form->size()) << "no frame: is openbox running?";
        Settle(200);
    }
    void SaveAppList(int apps) {
        std::string names;
        for (int i = 0; i < apps; ++i) {
            const std::string name = "Pkg" + std::to_string(1000 + i) + "_x";
            WriteText(profile.packages() / name / "LocalCache" / "f", "x");
            names += name + "\r\n";
        }
        WriteText(Data() / "uapps.dat", names);
    }
};

// The frame must not creep into the stored size, and the focus must not choose an app.
TEST_F(RealXTest, StoredPlacementHoldsAndTakingTheFocusChoosesNoApp) {
    SaveAppList(3);
    const std::string stored = "[UA]\r\nLeft=1500\r\nTop=1200\r\nHeight=7845\r\nWidth=13770\r\n";
    WriteText(Data() / "dittoly.ini", stored);
    for (int start = 1; start <= 3; ++start) {
        StartFramed();
        Xdo("key Tab shift+Tab"); // away and back: the focus comes in from outside
        ASSERT_TRUE(form->lstAppsHidden->hasFocus());
        EXPECT_EQ(form->lstAppsHidden->ListIndex(), -1);
        Close();
        form.reset();
        EXPECT_TRUE(Ini().starts_with(stored)) << "after start " << start << ":\n" << Ini();
    }
}

// Sees the close events a window gets, and lets each on to the window.
class CloseWatch : public QObject {
public:
    bool seen = false;

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        seen = seen || event->type() == QEvent::Close;
        return false;
    }
};

// Catches, besides what the name says: a Cancel click held back or dropped with the window's
// input, or a run that goes on past it or stops without its statistics. Each run is held at
// its second app until the input has reached the window, so none lands after the run
// however slow the machine is.
TEST_F(RealXTest, InputDuringARunIsDroppedButCancelsAndACloseWaitsForItsEnd) {
    SaveAppList(5);
    StartFramed();
    form->lblSelect_Click();
    services.questions.fallback = services::IDYES;
    const QString onRepair = MoveTo(form->lblRepair, form->lblRepair->rect().center());
    const fs::path clicked = profile.base().path() / "clicked";
    std::optional<RunGate> gate(std::in_place, *form, 1);
    XdoLater(onRepair + " click 1", 700, clicked);
    // Once that click is made and the progress is up: a second run or a delete is refused
    // unasked, and Cancel is clicked after it (the X server keeps their order). Once the run
    // has taken the Cancel, it stops after the app it is on.
    std::vector<bool> duringRun;
    QTimer watch;
    watch.callOnTimeout([&] {
        const auto* progress = form->findChild<QProgressDialog*>("progress");
        if (duringRun.empty() && fs::exists(clicked) && progress && progress->isVisible()) {
            const std::size_t asked = services.questions.asked.size();
            form->lblHardReset_Click();
            form->lblDeleteSettings_Click();
            duringRun = {form->RunInProgress() && services.questions.asked.size() == asked};
            XdoLater(MoveTo(progress->findChild<QPushButton*>(), {8, 8}) + " click 1", 0,
                     profile.base().path() / "cancelled");
        }
        if (progress && progress->labelText().endsWith("Stopping ...")) {
            gate->Open();
        }
    });
    watch.start(20);
    form->lblClearAppCache_Click();
    watch.stop();
    EXPECT_EQ(duringRun, std::vector<bool>{true});
    EXPECT_EQ(StatusLines().size(), 7u) << "the header, two apps, the statistics, the cancel";
    EXPECT_EQ(StatusLines().at(4), "Total Apps cleared: 2");
    EXPECT_EQ(StatusLines().at(6), "14:05:09 Cancelled: 3 of 5 apps left undone.");
    EXPECT_EQ(form->lblStatus->Caption(), "Clear App Cache cancelled.");
    const auto* progress = form->findChild<QProgressDialog*>("progress");
    EXPECT_TRUE(!form->RunInProgress() && (progress == nullptr || !progress->isVisible()));
    EXPECT_EQ(std::distance(fs::directory_iterator(profile.packages()), {}), 5); // no Hard Reset
    Settle(300);
    EXPECT_TRUE(form->PicResetOptions->isHidden());

    Xdo(onRepair + " click 1"); // after the run, input reaches the window again
    EXPECT_FALSE(form->PicResetOptions->isHidden());

    const QRect frame = form->frameGeometry(); // openbox's close button: the title bar's right end
    XdoLater(QString("mousemove %1 %2 click 1").arg(frame.right() - 10).arg(frame.top() + 10), 700,
             profile.base().path() / "closed");
    CloseWatch close;
    form->installEventFilter(&close);
    SaveAppList(5); // files in the caches again, for the run to be held at
    gate.emplace(*form, 1);
    watch.disconnect();
    watch.callOnTimeout([&] {
        if (close.seen) {
            gate->Open();
        }
    });
    watch.start(20);
    form->lblClearAppCache_Click();
    EXPECT_EQ(StatusLines().at(7), "Total Apps cleared: 5"); // the run went to its end
    Settle(300);
    EXPECT_FALSE(form->isVisible());
    EXPECT_NE(Ini().find("Apps=-1;-1"), std::string::npos);
}

TEST_F(RealXTest, TheWholeTickBoxTakesTheClickAndItsSquareFitsWhiteInside) {
    StartFramed();
    Xdo(MoveTo(form->lblInfo, form->lblInfo->rect().center()) + " click 1");
    ASSERT_TRUE(form->PicInfo->isVisible());
    QCheckBox* box = form->chkExportSettings;
    services.questions.Answer(services::IDYES);
    Xdo(MoveTo(box, {box->width() - 1, box->height() / 2}) + " click 1");
    EXPECT_TRUE(box->isChecked());
    Xdo(MoveTo(box, {box->width() - 1, box->height() - 1}) + " click 1");
    EXPECT_FALSE(box->isChecked());
    EXPECT_TRUE(form->PicInfo->isVisible());

    const QImage look = box->grab().toImage();
    const int side = std::min(box->width(), box->height());
    EXPECT_EQ(look.pixelColor(side / 2, side / 2), QColor(Qt::white));
    EXPECT_LT(look.pixelColor(side / 2, side - 1).lightness(), 128) << "the square's lower edge";
}

// A command the keyboard cannot reach or start, a question its key does not answer, keys
// lost after a run started from the keyboard, or a panel the keyboard cannot close.
TEST_F(RealXTest, ABackupAndAPanelFromTheKeyboardAlone) {
    profile.AddPackage("Example.Notes_abc");
    window::QtQuestions questions;
    StartFramed(&questions);
    // The search, then the first app made current and ticked, then on to Backup past
    // "Open", the product name and "Apps" (the status list is passed by while empty).
    Xdo("key shift+Tab Return Down space Tab Tab Tab Tab");
    ASSERT_TRUE(form->lblBackup->hasFocus());
    const QString shot = QDir::current().absoluteFilePath("keyboard-focus-on-backup.png");
    QProcess::execute("import", {"-window", "root", shot});
    std::cout << "Screenshot of the focused command: " << shot.toStdString() << "\n";
    const fs::path answered = profile.base().path() / "answered";
    XdoLater("key y", 1000, answered); // the question's own key, once it is up
    Xdo("key Return");
    ASSERT_TRUE(SettleUntil(answered));
    const fs::path backup = profile.program() / "Backup"; // the run went to its end:
    EXPECT_TRUE(fs::exists(backup / "Example.Notes_abc/Settings") &&
                fs::exists(backup / "Dittoly UA.txt"));

    Xdo("key Tab Tab Tab Return"); // Restore, Select, Repair: its panel opens
    EXPECT_TRUE(form->PicResetOptions->isVisible() && form->lblReset->hasFocus());
    Xdo("key Escape");
    EXPECT_TRUE(form->PicResetOptions->isHidden() && form->lblRepair->hasFocus());
}

// Catches: a failed line, a run with failures or a failed log save that read like a clean
// run unless one scrolls to the "<Error>"; a selected failed line that cannot be read; a
// reason that selecting the line, the keyboard or an accessibility client cannot reach;
// a cancelled Backup whose caption, list or log does not say so. A pipe inside an app's
// Settings fails its copy, as any user.
TEST_F(RealXTest, FailuresAndACancelledBackupShowWithoutScrolling) {
    for (const char* name : {"A.First_a", "B.Broken_b", "C.Third_c"}) {
        profile.AddPackage(name);
    }
    const fs::path broken = profile.packages() / "B.Broken_b" / "Settings";
    ASSERT_EQ(::mkfifo((broken / "pipe").c_str(), 0600), 0);
    const fs::path log = profile.program() / "Backup" / "Dittoly UA.txt";
    fs::create_directories(log); // a folder takes the log's name: its save fails
    StartFramed();
    form->lblSearch_Click();
    form->lblSelect_Click();
    services.questions.Answer(services::IDYES);
    form->lblBackup_Click();
    window::VbList* list = form->lstStatus;
    ASSERT_EQ(list->ListCount(), 8); // the header, three apps, the statistics, the log's line
    const auto row = [&](int i) {
        return OnScreen(list->viewport(), list->visualItemRect(list->item(i)));
    };
    Settle(300);
    QImage screen = Screenshot("failed-line.png");
    EXPECT_GT(ReddishPixels(screen, row(2)), 20) << "the failed line";
    EXPECT_EQ(ReddishPixels(screen, row(1)), 0) << "a line that did not fail";
    EXPECT_GT(ReddishPixels(screen, row(5)), 10) << "the count of a run with failures";
    EXPECT_GT(ReddishPixels(screen, OnScreen(form->lblStatus, form->lblStatus->rect())), 10);
    EXPECT_EQ(form->lblStatus->Caption(), "Backup complete.");
    // The log's line is the current one: selected, on the error colour, in white.
    EXPECT_TRUE(Near(screen.pixelColor(row(7).topLeft() + QPoint(1, 1)), modUI::ErrorColour()));

    const QString reason = list->Note(2);
    EXPECT_TRUE(reason.startsWith("Settings/pipe: ")) << reason.toStdString(); // B's own
    const int middle = list->visualItemRect(list->item(2)).center().y();
    Xdo(MoveTo(list->viewport(), {20, middle}) + " click 1 mousemove_relative 2 0");
    EXPECT_EQ(list->toolTip(), list->List(2) + "\n" + reason);
    screen = Screenshot("failed-line-selected.png");
    EXPECT_TRUE(Near(screen.pixelColor(row(2).topLeft() + QPoint(1, 1)), modUI::ErrorColour()));
    Xdo("key Down Up Return");
    EXPECT_TRUE(QToolTip::isVisible() && QToolTip::text() == list->List(2) + "\n" + reason)
        << QToolTip::text().toStdString();
    QAccessibleInterface* lines = QAccessible::queryAccessibleInterface(list);
    EXPECT_EQ(lines->child(2)->text(QAccessible::Description), reason);
    EXPECT_EQ(lines->child(7)->text(QAccessible::Description).toStdString(),
              "a folder stands where the log file goes");

    // Held at B's copy until Cancel is in: A is done, B left as it was, C never started.
    fs::remove(broken / "pipe");
    fs::remove(log);
    WriteText(broken / "new", "new");
    RunGate gate(*form, 1);
    QTimer watch;
    watch.callOnTimeout([&] {
        auto* progress = form->findChild<QProgressDialog*>("progress");
        if (gate.Waiting() && progress != nullptr && progress->isVisible()) {
            progress->findChild<QPushButton*>()->click();
            gate.Open();
            watch.stop();
        }
    });
    watch.start(20);
    services.questions.Answer(services::IDYES);
    form->lblBackup_Click();
    Settle(300);
    Screenshot("cancelled-backup.png");
    EXPECT_EQ(form->lblStatus->Caption(), "Backup cancelled.");
    const auto shown = StatusLines();
    ASSERT_EQ(shown.size(), 8u);
    EXPECT_EQ(shown[4], "Total Apps backed up: 2");
    EXPECT_EQ(shown[6], "14:05:09 Cancelled: 2 of 3 apps left undone.");
    EXPECT_NE(ReadText(log).find("\r\n" + shown[6] + "\r\n"), std::string::npos) << ReadText(log);
}
