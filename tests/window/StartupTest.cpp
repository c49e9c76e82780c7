// Start-up: the refusal without a packages folder, and what the window offers for each
// combination of stored files.
#include "WindowFixture.h"
#include "window/modStart.h"

#include <QApplication>

#include <sys/stat.h>

using namespace testsupport;

TEST(StartupWithoutPackages, ShowsTheStopMessageAndEndsWithoutAWindowOrAFile) {
    for (const bool fileInItsPlace : {false, true}) {
        ProfileFixture profile(false);
        if (fileInItsPlace) {
            WriteText(profile.packages(), "a file, not a folder");
        }
        RecordingServices services;
        const std::string before = TreeFingerprint(profile.base().path());
        EXPECT_FALSE(modStart::Main(profile.roots(), services.Get()));
        for (const QWidget* w : QApplication::topLevelWidgets()) {
            EXPECT_FALSE(w->isVisible()) << w->objectName().toStdString();
        }
        ASSERT_EQ(services.questions.asked.size(), 1u);
        EXPECT_EQ(services.questions.asked[0].style, 0x10); // a stop message, not a question
        EXPECT_EQ(TreeFingerprint(profile.base().path()), before);
    }
}

using StartupTest = WindowTest;

TEST_F(StartupTest, EachCombinationOfStoredFiles) {
    struct Case {
        const char* ini;  // no settings file when null
        const char* list; // no app-list file when null
        std::vector<std::string> packages;
        std::vector<int> ticked;
    };
    const Case cases[] = {
        {nullptr, nullptr, {}, {}},
        {"[UA]\r\nSettings=1\r\n", nullptr, {}, {}},
        {nullptr, "Zeta_z\r\nalpha_a\r\nExample_e\r\n", {"alpha_a", "Example_e", "Zeta_z"}, {}},
        {"[UA]\r\nSettings=1\r\nApps=0;-1\r\n", "B_b\r\nA_a\r\n", {"A_a", "B_b"}, {1}},
        {nullptr, "", {}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.ini ? "settings " : "") + (c.list ? "app list" : ""));
        form.reset();
        std::filesystem::remove_all(Data());
        if (c.ini) {
            WriteText(Data() / "dittoly.ini", c.ini);
        }
        if (c.list) {
            WriteText(Data() / "uapps.dat", c.list);
        }
        Start();
        EXPECT_TRUE(services.questions.asked.empty());
        EXPECT_EQ(std::filesystem::exists(Data()), c.ini || c.list); // a start makes no folder
        // Export is offered until there is a settings file, Delete once there is one.
        EXPECT_EQ(form->lblDeleteSettings->isHidden(), !c.ini);
        EXPECT_EQ(form->lblExportSettings->isHidden() && form->chkExportSettings->isHidden(),
                  c.ini != nullptr);
        EXPECT_EQ(form->chkExportSettings->isChecked(), c.ini != nullptr);
        // A stored list, even an empty one, stands for a search; the first tick brings the
        // search panel back over an empty list.
        for (const auto* label : form->AppCommands()) {
            EXPECT_EQ(label->isEnabled(), c.list != nullptr) << label->objectName().toStdString();
        }
        EXPECT_EQ(form->PicSearch->isVisible(), c.packages.empty());
        EXPECT_EQ(Rows(form->lstApps), c.packages);
        EXPECT_EQ(TickedRows(form->lstAppsHidden), c.ticked);
    }
}

// A read that waits for a pipe's writer hangs the start (settings, list, icon) and the
// close; a close that replaces the pipes destroys what someone set up there.
TEST_F(StartupTest, PipesInDataNeitherHangTheStartNorTheCloseAndStayPipes) {
    std::filesystem::create_directories(Data());
    for (const char* name : {"dittoly.ini", "uapps.dat", "dittoly.ico"}) {
        ASSERT_EQ(::mkfifo((Data() / name).c_str(), 0600), 0);
    }
    Start();
    EXPECT_TRUE(form->PicSearch->isVisible()); // no app list was found
    Close();
    for (const char* name : {"dittoly.ini", "uapps.dat", "dittoly.ico"}) {
        EXPECT_TRUE(std::filesystem::is_fifo(Data() / name)) << name;
    }
}
