// A scripted tour of the whole program, as a user takes it: search, tick two apps, back
// them up, reset, restore, clear the cache, wipe and restore again, export the
// configuration, close, start again, and delete the configuration. Every question is
// answered Yes through the questions seam. After each step the tour checks the disk and
// saves a screenshot of the window; what one widget does is left to the widget tests.
//
// Usage: dittoly-tour OUTPUT_FOLDER [--real-clicks]
// With --real-clicks (under an X server) every click goes through the window system with
// xdotool, so hit areas, stacking and the pointer are what a person meets.
#include "Fixtures.h"
#include "RecordingServices.h"
#include "SendClick.h"
#include "window/frmMain.h"
#include "window/modStart.h"

#include <QApplication>
#include <QStyle>
#include <QStyleOptionViewItem>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace fs = std::filesystem;
using testsupport::ReadText;
using testsupport::Settle;
using window::frmMain;

namespace {

int failures = 0;

void Check(bool ok, const std::string& what) {
    std::printf("  %s %s\n", ok ? "ok  " : "FAIL", what.c_str());
    failures += ok ? 0 : 1;
}

class Tour {
public:
    Tour(fs::path out, bool real) : out_(std::move(out)), real_(real) {}
    int Run();

private:
    // Without a window the rest of the tour has nothing to click: it ends here.
    void Start() {
        services_.questions.fallback = services::IDYES;
        form_ = modStart::Main(roots_, services_.Get());
        Check(form_ != nullptr, "the window starts");
        if (!form_) {
            std::exit(1);
        }
        form_->raise();
        form_->activateWindow();
        Settle(real_ ? 400 : 60);
    }
    // Begins the next step, after a screenshot of the window as the last one left it, by
    // clicking `clicks` in turn.
    void Step(const std::string& name, std::initializer_list<QWidget*> clicks = {}) {
        if (form_ && !step_.empty()) {
            const fs::path file = out_ / "screenshots" / (step_ + ".png");
            form_->grab().save(QString::fromStdString(file.string()));
        }
        std::printf("%s\n", name.c_str());
        step_ = name;
        for (QWidget* control : clicks) {
            ClickAt(control, control->rect().center());
        }
    }
    // A left click at `local` of `target`, delivered to whatever lies there on screen.
    void ClickAt(QWidget* target, QPoint local) {
        if (real_) {
            testsupport::Xdo(testsupport::MoveTo(target, local) + " click 1", 150);
        } else {
            testsupport::SendClick(target, local);
            Settle(60);
        }
    }
    // Toggles the tick of the row showing `display` by clicking its tick box.
    void ToggleRow(const QString& display) {
        window::VbList* list = form_->lstAppsHidden;
        QStyleOptionViewItem option;
        option.initFrom(list->viewport());
        option.rect = list->visualItemRect(list->findItems(display, Qt::MatchExactly).value(0));
        option.features |= QStyleOptionViewItem::HasCheckIndicator;
        const QRect box =
            list->style()->subElementRect(QStyle::SE_ItemViewItemCheckIndicator, &option, list);
        ClickAt(list->viewport(), box.center());
    }

    fs::path out_;
    bool real_;
    std::string step_;
    modGlobal::Roots roots_;
    testsupport::RecordingServices services_; // every question answered Yes
    std::unique_ptr<frmMain> form_;
};

int Tour::Run() {
    const fs::path profile = out_ / "profile";
    const fs::path program = out_ / "program";
    fs::remove_all(profile);
    fs::remove_all(program);
    fs::create_directories(program);
    fs::create_directories(out_ / "screenshots");
    const QString script = QApplication::applicationDirPath() + "/" DITTOLY_SAMPLE_PROFILE;
    if (QProcess::execute("bash", {script, QString::fromStdString(profile.string())}) != 0) {
        Check(false, "the sample profile is generated");
        return 1;
    }
    roots_ = modGlobal::Roots{program.string(), profile.string()};
    const fs::path packages = profile / "AppData" / "Local" / "Packages";
    const fs::path notes = packages / "Contoso.Notes.App_0a1b2c3d4e5f6";
    const fs::path maps = packages / "Fabrikam.Maps_2k9v0f4m8e1tq";
    const fs::path backup = program / "Backup";
    // Whether a package's settings file is the one its backup holds.
    const auto backedUp = [&](const fs::path& package) {
        const fs::path file = fs::path("Settings") / "settings.dat";
        return ReadText(package / file) == ReadText(backup / package.filename() / file);
    };

    Step("01-start");
    Start();

    Step("02-search", {form_->lblSearch});

    Step("03-tick-two-apps");
    ToggleRow("Contoso Notes App");
    ToggleRow("Fabrikam Maps");

    Step("04-backup", {form_->lblBackup});
    Check(backedUp(notes) && backedUp(maps), "the backup holds both Settings folders");
    const std::string log = ReadText(backup / "Dittoly UA.txt");
    Check(log != "<missing>" && log.find("<Error>") == std::string::npos,
          "the log is saved and every line is OK");

    Step("05-reset", {form_->lblRepair, form_->lblReset});
    Check(!fs::exists(notes / "Settings") && !fs::exists(maps / "Settings") &&
              fs::exists(notes / "LocalState"),
          "both Settings folders are gone, the rest of the packages stays");

    Step("06-restore", {form_->lblRestore});
    Check(backedUp(notes) && backedUp(maps), "both Settings folders are back");

    Step("07-clear-app-cache", {form_->lblRepair, form_->lblClearAppCache});
    Check(fs::is_directory(notes / "LocalCache") && fs::is_empty(notes / "LocalCache"),
          "LocalCache is there and empty");

    Step("08-hard-reset", {form_->lblRepair, form_->lblHardReset});
    Check(!fs::exists(notes) && !fs::exists(maps) &&
              fs::exists(packages / "Microsoft.WindowsCalculator_8wekyb3d8bbwe"),
          "both package folders are gone, the other packages stay");

    Step("09-restore-after-hard-reset", {form_->lblRestore});
    Check(backedUp(notes), "the package folder is re-created");

    Step("10-export-configuration", {form_->lblInfo, form_->lblExportSettings});
    Check(fs::is_directory(program / "Data"), "the Data folder is created");

    Step("11-close-and-start-again");
    form_->close();
    Settle(60);
    form_.reset();
    Check(fs::exists(program / "Data" / "dittoly.ini") &&
              fs::exists(program / "Data" / "uapps.dat"),
          "the settings and the app list are stored");
    Start();

    Step("12-delete-configuration", {form_->lblInfo, form_->lblDeleteSettings});
    Check(!fs::exists(program / "Data"), "the Data folder is gone");
    Step("end");

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
