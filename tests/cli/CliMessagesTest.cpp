// What the command line tells a person: the apps a question is about, the entries of the
// packages folder it leaves out, and counts and sizes as they read.
#include "CliFixture.h"
#include "operations/History.h"

#include <regex>
#include <sys/stat.h>
#include <unistd.h>

using namespace testsupport;

namespace {

// Catches: a question that does not say which apps it is about (the window's own text says
// "selected apps", and on a command line nobody selected any), a list after the question
// or one that runs off the screen, and a restore that does not say which backup each app
// gets back.
TEST_F(CliTest, AQuestionOnATerminalNamesItsAppsAndTheBackupEachGets) {
    for (int i = 10; i < 24; ++i) {
        profile.AddPackage("App.N" + std::to_string(i) + "_x");
    }
    EXPECT_EQ(Cli("hard-reset --all", {}, true), 1);
    std::erase(err, '\r');
    const std::size_t listed = err.find("Hard Reset\nIt works on these 14 apps:\n  App N10 "
                                        "(App.N10_x)\n  App N11 (App.N11_x)\n");
    EXPECT_NE(listed, std::string::npos) << err;
    EXPECT_LT(listed, err.find("  App N20 (App.N20_x)\n  and 3 more apps\nDo you want to clear "
                               "all data of selected apps?\n"))
        << err;
    EXPECT_EQ(err.find("App N21"), std::string::npos) << err;

    const fs::path settings = profile.packages() / "App.N10_x" / "Settings";
    ASSERT_EQ(Cli("backup App.N10_x"), 0);
    WriteText(settings / "more", "more");
    ASSERT_EQ(Cli("backup App.N10_x"), 0);
    EXPECT_EQ(Cli("restore App.N10_x App.N11_x", {}, true), 1);
    std::erase(err, '\r');
    EXPECT_TRUE(
        std::regex_search(err, std::regex(R"(It works on these 2 apps:\n  App N10 )"
                                          R"(\(App.N10_x\): its backup of \d{4}-\d\d-)"
                                          R"(\d\dT\d\d:\d\d:\d\dZ\n  App N11 \(App.N11_x\): )"
                                          R"(no backup: nothing to restore\nDo you want )"
                                          R"(to run the Restoration\?\n)")))
        << err;
    const std::string id = operations::history::List(profile.roots(), "App.N10_x").at(0).id;
    EXPECT_EQ(Cli("restore --from " + id + " App.N10_x", {}, true), 1);
    std::erase(err, '\r');
    EXPECT_NE(err.find("It works on this app:\n  App N10 (App.N10_x): History entry " + id +
                       "\nDo you want to run the Restoration?\n"),
              std::string::npos)
        << err;
}

// Catches: an entry of the packages folder passed over in silence by list and --all (a
// nightly backup that never backs up an app whose folder went behind a link), a linked
// package folder named directly that is called unknown, and a dry run that says "1 files"
// or gives sizes in other units than the window's progress.
TEST_F(CliTest, ListAndAllSayWhatTheyLeaveOutAndSizesReadAsInTheWindow) {
    const fs::path settings = profile.AddPackage("Example.Notes_abc") / "Settings";
    const fs::path outside = profile.base().path() / "elsewhere";
    WriteText(outside / "Settings" / "settings.dat", "not ours");
    fs::create_directory_symlink(outside, profile.packages() / "Linked.App_l");
    ASSERT_EQ(::mkfifo((profile.packages() / "pipe").c_str(), 0600), 0);
    std::string told = "dittoly-ua-cli: left out Linked.App_l: its package folder is a link, "
                       "which is never followed\n";
    if (::geteuid() != 0) { // root reads a folder whatever its mode
        fs::create_directories(profile.packages() / "Locked.App_k" / "Settings");
        fs::permissions(profile.packages() / "Locked.App_k", fs::perms::none);
        told += "dittoly-ua-cli: left out Locked.App_k: its package folder cannot be read\n";
    }
    told += "dittoly-ua-cli: left out pipe: it is not a folder\n";
    EXPECT_EQ(Cli("list"), 0);
    EXPECT_EQ(out, "Example Notes\tExample.Notes_abc\n");
    EXPECT_EQ(err, told);
    EXPECT_EQ(Cli("backup --all --quiet"), 0);
    EXPECT_EQ(err, told);
    for (const char* name : {"Linked.App_l", "'linked app'"}) {
        EXPECT_EQ(Cli(std::string("hard-reset --yes ") + name), 2);
        EXPECT_TRUE(err.starts_with("dittoly-ua-cli: cannot work on '" +
                                    std::string(name[0] == '\'' ? "linked app" : name) +
                                    "': its package folder is a link, which is never followed\n"))
            << err;
    }
    EXPECT_EQ(ReadText(outside / "Settings" / "settings.dat"), "not ours");

    fs::remove_all(settings);
    WriteText(settings / "one", std::string(2048, 'x'));
    EXPECT_EQ(Cli("backup -n Example.Notes_abc"), 0);
    EXPECT_NE(out.find(" (1 file, 2.0 KiB) to "), std::string::npos) << out;
}

} // namespace
