// A scripted tour of the whole program, as a user takes it: search, tick two apps, back
// them up, reset, restore, clear the cache, wipe and restore again, export the
// configuration, close, start again, and delete the configuration. Every question is
// answered through the questions seam; after each step the tour checks the disk and the
// status list and saves a screenshot of the window.
//
// Usage: dittoly-tour OUTPUT_FOLDER [--real-clicks]
// With --real-clicks (under an X server) every click and key goes through the window
// system with xdotool, so hit areas, stacking and the pointer are what a person meets.
#include "SendClick.h"
#include "window/modStart.h"
#include "window/frmMain.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QMouseEvent>
#include <QProcess>
#include <QStyle>
#include <QStyleOptionViewItem>
#include <QThread>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

namespace fs = std::filesystem;
using window::frmMain;

namespace {

// ---- Services: every question answered Yes and recorded, launches recorded ----

struct TourQuestions : services::Questions {
    std::vector<std::string> titles;
    int Ask(const std::string&, int, const std::string& title) override {
        titles.push_back(title);
        return services::IDYES;
    }
};
struct TourLauncher : services::Launcher {
    void OpenUrl(const std::string&) override {}
    void OpenFolder(const std::string&) override {}
    bool StartStoreCacheReset() override { return false; }
};
struct TourClock : services::Clock {
    std::string TimeOfDay() override { return "14:05:09"; }
    std::string LongDate() override { return "Saturday, 5 December 2026"; }
};

int failures = 0;

void Check(bool ok, const std::string& what) {
    std::printf("  %s %s\n", ok ? "ok  " : "FAIL", what.c_str());
    if (!ok) {
        ++failures;
    }
}

std::string Read(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return in ? text.str() : "<missing>";
}

void Settle(int ms = 60) {
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < ms) {
        QApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(2);
    }
}

// ---- Input: synthetic events, or the window system's own through xdotool ----

class Input {
public:
    explicit Input(bool real) : real_(real) {}

    // A left click at `local` of `target`, delivered to whatever lies there on screen.
    void ClickAt(QWidget* target, QPoint local) {
        QWidget* top = target->window();
        const QPoint inTop = target->mapTo(top, local);
        if (real_) {
            const QPoint global = top->mapToGlobal(inTop);
            QProcess::execute("xdotool", {"mousemove", "--sync", QString::number(global.x()),
                                          QString::number(global.y())});
            Settle(80);
            QProcess::execute("xdotool", {"click", "1"});
            Settle(150);
            return;
        }
        testsupport::SendClick(top, inTop);
        Settle();
    }

    void Click(QWidget* target) { ClickAt(target, target->rect().center()); }

    // Toggles the tick of one row by clicking its tick box.
    void ToggleRow(window::VbList* list, int row) {
        QStyleOptionViewItem option;
        option.initFrom(list->viewport());
        option.rect = list->visualItemRect(list->item(row));
        option.features |= QStyleOptionViewItem::HasCheckIndicator;
        option.features |= QStyleOptionViewItem::HasDisplay;
        option.text = list->item(row)->text();
        const QRect box =
            list->style()->subElementRect(QStyle::SE_ItemViewItemCheckIndicator, &option, list);
        ClickAt(list->viewport(), box.center());
    }

private:
    bool real_;
};

// ---- The tour ----

class Tour {
public:
    Tour(fs::path out, bool real) : out_(std::move(out)), input_(real), real_(real) {}

    int Run();

private:
    void Start() {
        form_ = modStart::Main(roots_, services::Services{questions_, launcher_, clock_});
        if (!form_) {
            Check(false, "the window starts");
            return;
        }
        form_->raise();
        form_->activateWindow();
        Settle(real_ ? 400 : 60);
    }
    void Shot(const std::string& name) {
        const fs::path file = out_ / "screenshots" / (name + ".png");
        form_->grab().save(QString::fromStdString(file.string()));
        std::printf("  shot %s\n", file.string().c_str());
    }
    void Step(const std::string& name) { std::printf("%s\n", name.c_str()); }
    // The control under the pointer at the label's centre is the label itself, and it
    // shows the pointing hand.
    void ExpectReachable(window::VbLabel* label) {
        const QPoint centre = label->mapTo(form_.get(), label->rect().center());
        Check(form_->childAt(centre) == label && label->HasHand() &&
                  label->cursor().shape() == Qt::BitmapCursor,
              label->objectName().toStdString() + " is on top and shows the hand");
    }
    std::string LastLine() const {
        const int n = form_->lstStatus->ListCount();
        return n > 0 ? form_->lstStatus->List(n - 1).toStdString() : std::string();
    }
    bool AnyLineEndsWithError() const {
        for (int i = 0; i < form_->lstStatus->ListCount(); ++i) {
            if (form_->lstStatus->List(i).endsWith("<Error>")) {
                return true;
            }
        }
        return false;
    }
    int Row(const std::string& display) const {
        for (int i = 0; i < form_->lstAppsHidden->ListCount(); ++i) {
            if (form_->lstAppsHidden->List(i).toStdString() == display) {
                return i;
            }
        }
        return -1;
    }

    fs::path out_;
    Input input_;
    bool real_;
    modGlobal::Roots roots_;
    TourQuestions questions_;
    TourLauncher launcher_;
    TourClock clock_;
    std::unique_ptr<frmMain> form_;
};

int Tour::Run() {
    const fs::path profile = out_ / "profile";
    const fs::path program = out_ / "program";
    fs::remove_all(profile);
    fs::remove_all(program);
    fs::create_directories(program);
    fs::create_directories(out_ / "screenshots");
    const QString script = QStringLiteral(DITTOLY_SOURCE_DIR "/scripts/make-sample-profile.sh");
    if (QProcess::execute("bash", {script, QString::fromStdString(profile.string())}) != 0) {
        Check(false, "the sample profile is generated");
        return 1;
    }
    roots_ = modGlobal::Roots{program.string(), profile.string()};
    const fs::path packages = profile / "AppData" / "Local" / "Packages";
    const fs::path notes = packages / "Contoso.Notes.App_0a1b2c3d4e5f6";
    const fs::path maps = packages / "Fabrikam.Maps_2k9v0f4m8e1tq";
    const fs::path backup = program / "Backup";

    Step("1. start");
    Start();
    if (!form_) {
        return 1;
    }
    Check(form_->PicSearch->isVisible(), "the search panel is in front");
    Shot("01-start");

    Step("2. search");
    ExpectReachable(form_->lblSearch);
    input_.Click(form_->lblSearch);
    Check(form_->lstAppsHidden->ListCount() == 7, "seven apps are listed");
    Check(form_->lblAppsInstalled->Caption() == "7", "the count reads 7");
    Shot("02-search");

    Step("3. tick two apps");
    input_.ToggleRow(form_->lstAppsHidden, Row("Contoso Notes App"));
    input_.ToggleRow(form_->lstAppsHidden, Row("Fabrikam Maps"));
    Settle();
    Check(form_->lstAppsHidden->SelCount() == 2 && form_->lstApps->SelCount() == 2,
          "two apps are ticked in both lists");
    Check(form_->lblAppsSelected->Caption() == "2", "the ticked count reads 2");
    Shot("03-ticked");

    Step("4. backup");
    ExpectReachable(form_->lblBackup);
    input_.Click(form_->lblBackup);
    Check(Read(backup / notes.filename() / "Settings" / "settings.dat") ==
              Read(notes / "Settings" / "settings.dat"),
          "the backup holds the Settings folder");
    Check(LastLine().find("Log saved to") != std::string::npos && !AnyLineEndsWithError(),
          "every line OK and the log saved");
    Check(fs::exists(backup / "Dittoly UA.txt"), "the log file exists");
    Shot("04-backup");

    Step("5. normal reset");
    input_.Click(form_->lblRepair);
    Check(form_->PicResetOptions->isVisible(), "Repair opens the options panel");
    ExpectReachable(form_->lblReset);
    input_.Click(form_->lblReset);
    Check(!fs::exists(notes / "Settings") && !fs::exists(maps / "Settings"),
          "both Settings folders are gone");
    Check(fs::exists(notes / "LocalState"), "the rest of the package stays");
    Check(!form_->PicResetOptions->isVisible(), "the options panel closed");
    Shot("05-reset");

    Step("6. restore");
    input_.Click(form_->lblRestore);
    Check(fs::exists(notes / "Settings" / "settings.dat") &&
              fs::exists(maps / "Settings" / "settings.dat"),
          "both Settings folders are back");
    Shot("06-restore");

    Step("7. clear app cache");
    input_.Click(form_->lblRepair);
    input_.Click(form_->lblClearAppCache);
    Check(fs::is_directory(notes / "LocalCache") && fs::is_empty(notes / "LocalCache"),
          "LocalCache is there and empty");
    Shot("07-clear-cache");

    Step("8. hard reset");
    input_.Click(form_->lblRepair);
    ExpectReachable(form_->lblHardReset);
    input_.Click(form_->lblHardReset);
    Check(!fs::exists(notes) && !fs::exists(maps), "both package folders are gone");
    Check(fs::exists(packages / "Microsoft.WindowsCalculator_8wekyb3d8bbwe"),
          "other packages stay");
    Shot("08-hard-reset");

    Step("9. restore after hard reset");
    input_.Click(form_->lblRestore);
    Check(fs::exists(notes / "Settings" / "settings.dat"), "the package folder is re-created");
    Shot("09-restore");

    Step("10. export app configuration");
    input_.Click(form_->lblInfo);
    Check(form_->PicInfo->isVisible(), "Info opens its panel");
    input_.Click(form_->lblExportSettings);
    Check(fs::is_directory(program / "Data"), "the Data folder is created");
    Check(form_->chkExportSettings->isChecked(), "the box is ticked");
    Shot("10-export");

    Step("11. close");
    form_->move(40, 30);
    Settle();
    const QRect placed = form_->frameGeometry();
    form_->close();
    Settle();
    form_.reset();
    Check(Read(program / "Data" / "uapps.dat").find("Contoso.Notes.App_0a1b2c3d4e5f6\r\n") !=
              std::string::npos,
          "the app list is saved");
    Check(Read(program / "Data" / "dittoly.ini").find("Apps=") != std::string::npos,
          "the settings are saved");

    Step("12. start again");
    Start();
    if (!form_) {
        return 1;
    }
    Check(form_->frameGeometry().topLeft() == placed.topLeft(),
          "the window opens where it was (" + std::to_string(placed.x()) + "," +
              std::to_string(placed.y()) + " -> " + std::to_string(form_->frameGeometry().x()) +
              "," + std::to_string(form_->frameGeometry().y()) + ")");
    Check(form_->lstAppsHidden->ListCount() == 7 && form_->lstAppsHidden->SelCount() == 2,
          "list and ticks are restored");
    Check(!form_->lblDeleteSettings->isHidden(), "Delete app configuration is offered");
    Shot("12-restart");

    Step("13. delete app configuration");
    input_.Click(form_->lblInfo);
    input_.Click(form_->lblDeleteSettings);
    Check(!fs::exists(program / "Data"), "the Data folder is gone");
    Check(LastLine().ends_with("/Data <OK>"), "its status line ends in <OK>");
    Shot("13-delete-configuration");
    form_->close();
    Settle();

    std::printf("tour %s: %d failed check(s); screenshots in %s\n", failures ? "FAILED" : "passed",
                failures, (out_ / "screenshots").string().c_str());
    return failures == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s OUTPUT_FOLDER [--real-clicks]\n", argv[0]);
        return 2;
    }
    const bool real = argc > 2 && std::string(argv[2]) == "--real-clicks";
    if (!real && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    // Closing the first window must not end the tour before its second start.
    QApplication::setQuitOnLastWindowClosed(false);
    return Tour(fs::absolute(argv[1]), real).Run();
}
