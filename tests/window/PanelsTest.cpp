// Overlay panels, links and tooltips, driven by mouse events delivered where the window
// system would deliver them.
#include "SendClick.h"
#include "WindowFixture.h"

#include <QAccessible>
#include <map>
#include <set>

using namespace testsupport;

class PanelsTest : public WindowTest {
protected:
    void SetUp() override {
        profile.AddPackage("Example.Notes_abc");
        StartAndSearch();
    }
};

TEST_F(PanelsTest, PanelsOpenTogetherAndCloseOnlyOnTheirOwnSurface) {
    // Tall enough that the open Info panel leaves "Repair" uncovered.
    form->resize(916, 700);
    QApplication::processEvents();
    SendClick(form->lblInfo);
    SendClick(form->lblRepair);
    // Labels inside a panel keep it open.
    SendClick(form->lblVersion);
    SendClick(form->Label6);
    EXPECT_TRUE(form->PicInfo->isVisible() && form->PicResetOptions->isVisible());

    // The panel's bare surface closes it, and only it.
    SendClick(form->PicInfo, QPoint(5, form->PicInfo->height() - 5));
    EXPECT_TRUE(!form->PicInfo->isVisible() && form->PicResetOptions->isVisible());
    SendClick(form->PicResetOptions, QPoint(10, 200));
    EXPECT_FALSE(form->PicResetOptions->isVisible());
}

TEST_F(PanelsTest, LinksOpenTheSiteAndTheCurrentAppsSettingsAndTooltipsFollowTheStatusList) {
    SendClick(form->lblAppName);
    form->lblHomepage_Click();
    EXPECT_EQ(services.launcher.urls, (std::vector<std::string>(2, "https://dittoly.example/ua")));

    const std::string packages = profile.packages().string();
    form->lblOpenAppDataDir_Click(); // no current app: a path that names no folder
    form->lstAppsHidden->SetListIndex(0);
    Tick();
    form->lblOpenAppDataDir_Click();
    EXPECT_EQ(services.launcher.folders,
              (std::vector<std::string>{packages + "//Settings",
                                        packages + "/Example.Notes_abc/Settings"}));
    EXPECT_TRUE(StatusLines().empty()); // nothing is reported either way

    form->lstStatus_MouseMove();
    EXPECT_EQ(form->lstStatus->toolTip(), "");
    services.questions.Answer(services::IDYES);
    form->lblClearAppStoreCache_Click();
    form->lstStatus_MouseMove(); // the current line is the last one written
    EXPECT_EQ(form->lstStatus->toolTip(), QString(53, '='));
}

namespace {
// A key pressed and released where the focus is, as the window system delivers it.
void Key(int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
    for (QEvent::Type type : {QEvent::KeyPress, QEvent::KeyRelease}) {
        QKeyEvent event(type, key, modifiers);
        QApplication::sendEvent(QApplication::focusWidget(), &event);
    }
}
// The names of the controls Tab walks through from the focus until it comes to one it has
// been on (the start, unless Tab never comes back to it).
std::string TabWalk() {
    std::set<const QWidget*> seen;
    std::string walk;
    for (; seen.insert(QApplication::focusWidget()).second; Key(Qt::Key_Tab)) {
        walk += (walk.empty() ? "" : " ") + QApplication::focusWidget()->objectName().toStdString();
    }
    return walk;
}
} // namespace

// A command Tab cannot reach or reaches out of screen order, or a disabled, hidden or
// covered one, or an empty list or one under a panel, that takes the focus; a list that
// takes it without showing it; a key that does not start a command as a click does, or a
// panel that Escape does not close.
TEST_F(PanelsTest, TheKeyboardReachesAndStartsEveryCommandInScreenOrder) {
    Restart(); // before a search most commands are disabled, and both lists are empty
    ASSERT_TRUE(form->lstAppsHidden->hasFocus());
    EXPECT_EQ(TabWalk(), "lstAppsHidden lblAppName lblInfo lblSearch");
    Key(Qt::Key_Tab, Qt::ShiftModifier);
    Key(Qt::Key_Return); // the search from the keyboard: the focus goes on to the list
    EXPECT_EQ(TabWalk(), "lstAppsHidden lblOpenAppDataDir lblAppName lblApps lblBackup "
                         "lblRestore lblSelect lblRepair lblInfo");
    const QImage look = form->lstAppsHidden->viewport()->grab().toImage();
    int dotted = 0; // of its right edge, where no entry reaches
    for (int y = 0; y < look.height(); ++y) {
        dotted += look.pixelColor(look.width() - 1, y).lightness() < 128 ? 1 : 0;
    }
    EXPECT_GT(dotted, look.height() / 5) << "no focus frame round a list without a current app";

    form->lblBackup->setFocus(Qt::TabFocusReason);
    for (int key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Space}) {
        Key(key);
    }
    // A release whose press went elsewhere starts nothing.
    QKeyEvent release(QEvent::KeyRelease, Qt::Key_Return, Qt::NoModifier);
    QApplication::sendEvent(form->lblBackup, &release);
    ASSERT_EQ(services.questions.asked.size(), 3u);
    EXPECT_EQ(services.questions.asked[2].title, "Backup");

    // A panel opened from the keyboard takes the focus; Escape closes it and gives it back.
    for (auto [opener, panel, first] :
         {std::tuple{form->lblInfo, form->PicInfo, "lblHomepage"},
          std::tuple{form->lblRepair, form->PicResetOptions, "lblReset"}}) {
        opener->setFocus(Qt::TabFocusReason);
        Key(Qt::Key_Space);
        EXPECT_TRUE(panel->isVisible() && QApplication::focusWidget()->objectName() == first);
        Key(Qt::Key_Escape);
        EXPECT_TRUE(panel->isHidden() && opener->hasFocus()) << first;
    }
    form->lblInfo_Click(); // the Info panel covers Restore, Select and Repair
    form->lblHomepage->setFocus(Qt::TabFocusReason);
    form->lstStatus->AddItem("a line");
    EXPECT_EQ(TabWalk(), "lblHomepage chkExportSettings lblExportSettings lstAppsHidden "
                         "lblOpenAppDataDir lstStatus lblAppName lblApps lblBackup lblInfo");
    form->lblRepair_Click(); // its panel covers "Open" and the middle of the status list
    form->lstAppsHidden->setFocus(Qt::TabFocusReason);
    Key(Qt::Key_Tab);
    EXPECT_TRUE(form->lblReset->hasFocus());
}

namespace {
using Heard = std::map<std::string, std::pair<QAccessible::Role, std::string>>;
// Role and name of every node below `node`, by its object's name; a list entry by its
// text, with " ticked" when it is.
void Listen(QAccessibleInterface* node, Heard& heard) {
    for (int i = 0; i < node->childCount(); ++i) {
        QAccessibleInterface* child = node->child(i);
        const std::string name = child->text(QAccessible::Name).toStdString();
        const QObject* object = child->object();
        heard[object ? object->objectName().toStdString()
                     : name + (child->state().checked ? " ticked" : "")] = {child->role(), name};
        Listen(child, heard);
    }
}
} // namespace

// A command that accessibility clients hear as plain text or by another name, a count
// without its meaning, a list without a name, a tick box without its app or state, or a
// press that starts a command that is off.
TEST_F(PanelsTest, AccessibilityClientsHearCommandsCountsListsAndTicks) {
    profile.AddPackage("Example.Calendar_abc");
    form->lblSearch_Click();
    TickApp("Example Notes");
    Heard heard;
    Listen(QAccessible::queryAccessibleInterface(form.get()), heard);
    using enum QAccessible::Role;
    const auto* f = form.get();
    const std::vector<window::VbLabel*> buttons = {f->lblApps,          f->lblBackup, f->lblRestore,
                                                   f->lblSelect,        f->lblRepair, f->lblInfo,
                                                   f->lblExportSettings};
    const std::vector<window::VbLabel*> links = {
        f->lblAppName,   f->lblSearch,         f->lblOpenAppDataDir,
        f->lblHomepage,  f->lblDeleteSettings, f->lblReset,
        f->lblHardReset, f->lblClearAppCache,  f->lblClearAppStoreCache};
    for (const auto& [role, labels] : {std::pair{Button, buttons}, {Link, links}}) {
        for (const window::VbLabel* label : labels) {
            EXPECT_EQ(heard[label->objectName().toStdString()],
                      std::pair(role, label->Caption().toStdString()));
        }
    }
    for (const auto& [key, expected] :
         Heard{{"lblAppsInstalled", {StaticText, "Apps installed: 2"}},
               {"lblAppsSelected", {StaticText, "Apps selected: 1"}},
               {"lstAppsHidden", {List, "App list"}},
               {"lstApps", {List, "Package folder list"}},
               {"lstStatus", {List, "Status list"}},
               {"Example Notes ticked", {ListItem, "Example Notes"}},
               {"Example Calendar", {ListItem, "Example Calendar"}}}) {
        EXPECT_EQ(heard[key], expected) << key;
    }
    // A client's press starts the command as a click does, but not one that is off (as the
    // app commands are before the first search).
    auto* info = QAccessible::queryAccessibleInterface(form->lblInfo)->actionInterface();
    info->doAction(QAccessibleActionInterface::pressAction());
    EXPECT_TRUE(form->PicInfo->isVisible());
    form->lblBackup->setEnabled(false);
    auto* backup = QAccessible::queryAccessibleInterface(form->lblBackup)->actionInterface();
    backup->doAction(QAccessibleActionInterface::pressAction());
    EXPECT_TRUE(services.questions.asked.empty());
}
