// What only a real X server with a framing window manager shows: the frame around the
// stored placement, focus given by activation, and input made through the window system
// (xdotool) at an exact spot or while a run goes on. Runs under xvfb-run with openbox.
#include "WindowFixture.h"
#include "settings/modINI.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QThread>

using namespace testsupport;

namespace {

void Settle(int ms) {
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < ms) {
        QApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(2);
    }
}

QString Global(const QWidget* control, QPoint local) {
    const QPoint at = control->mapToGlobal(local);
    return QString("mousemove %1 %2").arg(at.x()).arg(at.y());
}

// Runs xdotool now, or after `delayMs` in the background while this thread is busy; the
// background run leaves `done` behind once its input is made.
void Xdo(const QString& args, int delayMs = 0, const fs::path& done = {}) {
    if (delayMs == 0) {
        QProcess::execute("sh", {"-c", "xdotool " + args});
        Settle(300);
        return;
    }
    QProcess::startDetached("sh", {"-c", QString("sleep %1; xdotool %2; touch '%3'")
                                             .arg(delayMs / 1000.0)
                                             .arg(args, QString::fromStdString(done.string()))});
}

} // namespace

class RealXTest : public WindowTest {
protected:
    // Starts the window and waits until the window manager has framed and activated it.
    void StartFramed() {
        Start();
        QElapsedTimer clock;
        clock.start();
        while ((form->frameGeometry().size() == form->size() || !form->isActiveWindow()) &&
               clock.elapsed() < 5000) {
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

TEST_F(RealXTest, StoredPlacementIsTheSameAfterEveryRestart) {
    const std::string ini = (Data() / "dittoly.ini").string();
    WriteText(ini, "[UA]\r\nLeft=1500\r\nTop=1200\r\nHeight=7845\r\nWidth=13770\r\n");
    for (int start = 1; start <= 3; ++start) {
        StartFramed();
        Close();
        form.reset();
        for (const auto& [key, want] : {std::pair{"Left", "1500"}, std::pair{"Top", "1200"},
                                        std::pair{"Height", "7845"}, std::pair{"Width", "13770"}}) {
            EXPECT_EQ(modINI::ReadIni(ini, "UA", key), want) << key << " after start " << start;
        }
    }
}

TEST_F(RealXTest, TakingTheFocusNeverChoosesAnApp) {
    SaveAppList(3);
    StartFramed();
    Xdo("key Tab");
    Xdo("key shift+Tab");
    ASSERT_TRUE(form->lstAppsHidden->hasFocus());
    EXPECT_EQ(form->lstAppsHidden->ListIndex(), -1);
    EXPECT_EQ(form->lblApp->Caption().toStdString(), "no app selected");
}

TEST_F(RealXTest, InputDuringARunIsDroppedAndACloseWaitsForItsEnd) {
    SaveAppList(150); // 150 status lines at 10 ms each: the input lands well inside the run
    StartFramed();
    form->lblSelect_Click();
    const QString onRepair = Global(form->lblRepair, form->lblRepair->rect().center());
    const fs::path clicked = profile.base().path() / "clicked";
    Xdo(onRepair + " click 1", 700, clicked);
    services.questions.Answer(services::IDYES);
    form->lblClearAppCache_Click();
    ASSERT_TRUE(fs::exists(clicked)) << "the run ended before the input was made";
    Settle(300);
    EXPECT_TRUE(form->PicResetOptions->isHidden());

    Xdo(onRepair + " click 1"); // after the run, input reaches the window again
    EXPECT_FALSE(form->PicResetOptions->isHidden());

    const fs::path closed = profile.base().path() / "closed";
    const QRect frame = form->frameGeometry(); // openbox's close button: the title bar's right end
    Xdo(QString("mousemove %1 %2 click 1").arg(frame.right() - 10).arg(frame.top() + 10), 700,
        closed);
    services.questions.Answer(services::IDYES);
    form->lblClearAppCache_Click();
    ASSERT_TRUE(fs::exists(closed)) << "the run ended before the close was asked for";
    EXPECT_EQ(StatusLines().at(152), "Total Apps cleared: 150"); // the run went to its end
    Settle(300);
    EXPECT_FALSE(form->isVisible());
    EXPECT_NE(Ini().find("Apps=-1;-1"), std::string::npos);
}

TEST_F(RealXTest, TheWholeTickBoxTakesTheClickAndItsSquareFitsWhiteInside) {
    StartFramed();
    Xdo(Global(form->lblInfo, form->lblInfo->rect().center()) + " click 1");
    ASSERT_TRUE(form->PicInfo->isVisible());
    QCheckBox* box = form->chkExportSettings;
    services.questions.Answer(services::IDYES);
    Xdo(Global(box, {box->width() - 1, box->height() / 2}) + " click 1");
    EXPECT_TRUE(box->isChecked());
    Xdo(Global(box, {box->width() - 1, box->height() - 1}) + " click 1");
    EXPECT_FALSE(box->isChecked());
    EXPECT_TRUE(form->PicInfo->isVisible());

    const QImage look = box->grab().toImage();
    const int side = std::min(box->width(), box->height());
    EXPECT_EQ(look.pixelColor(side / 2, side / 2), QColor(Qt::white));
    EXPECT_LT(look.pixelColor(side / 2, side - 1).lightness(), 128) << "the square's lower edge";
}
