#pragma once
// The program's only window. Controls keep the names users and the documentation know
// them by; each event handler is named control + "_" + event.

#include "common/Services.h"
#include "common/modGlobal.h"
#include "operations/RunFrame.h"
#include "window/VbControls.h"

#include <QElapsedTimer>
#include <QTimer>
#include <QWidget>
#include <cstddef>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

class QProgressDialog;

namespace window {

class RunInputDrop;
class WindowRunHost;

class frmMain : public QWidget {
    Q_OBJECT
public:
    // Creating the window runs Form_Initialize. `roots` and `services` are kept for the
    // window's life; the services must outlive it.
    frmMain(modGlobal::Roots roots, services::Services services);
    ~frmMain() override;

    // ---- Controls, front to back within each container ----
    VbPanel* PicResetOptions;
    VbPanel* PicSearch;
    VbPanel* PicInfo;
    QTimer* Timer1;
    VbPanel* PicLeft;
    VbPanel* PicLeftNavMenu;
    VbPanel* PicMiddle;
    VbList* lstStatus;
    VbList* lstAppsHidden; // the visible app list, with tick boxes
    VbList* lstApps;       // never shown: package folder names at the same indexes
    VbLabel* lblOpenAppDataDir;
    VbLabel* lblStatus;
    VbLabel* lblAppName;
    VbLabel* Label3;
    VbLabel* lblApps;
    VbLabel* lblAppsInstalled;
    VbLabel* lblBackup;
    VbLabel* lblRestore;
    VbLabel* lblSelect;
    VbLabel* lblAppsSelected;
    VbLabel* lblRepair;
    VbLabel* lblInfo;
    VbLabel* lblApp;
    VbLabel* lblSearch;
    VbLabel* Label1;
    VbLabel* lblAboutApp;
    VbLabel* lblVersionInfo;
    VbLabel* lblVersion;
    VbLabel* lblCopyright;
    VbLabel* lblAboutInfo;
    VbLabel* lblHomepage;
    VbCheck* chkExportSettings;
    VbLabel* lblExportSettings;
    VbLabel* lblDeleteSettings;
    VbLabel* Label6;
    VbLabel* lblReset;
    VbLabel* lblHardReset;
    VbLabel* lblClearAppCache;
    VbLabel* lblClearAppStoreCache;

    // The ten commands and counters that need a list of apps, in the order they are
    // enabled.
    std::vector<VbLabel*> AppCommands() const;
    void EnableAppCommands();

    // ---- Layout and look ----
    void Form_Initialize();
    // Lays the controls out for a client area of `width` x `height` twips.
    void Form_Resize(float width, float height);
    void RemoveListBorders();
    TwipRect Twips(const QWidget* control) const;
    void SetTwips(QWidget* control, const TwipRect& rect);

    // The window's outer frame in twips (screen coordinates), as stored in the settings.
    float Left() const;
    float Top() const;
    float Width() const;
    float Height() const;
    void SetLeft(float twips);
    void SetTop(float twips);
    void SetWidth(float twips);
    void SetHeight(float twips);
    // Brings a window that would open entirely off every screen onto the primary one.
    void KeepOnScreen();

    // ---- Catalogue ----
    void lblSearch_Click();
    void lblApps_Click();
    void lblSelect_Click();
    void SetAllTicks(VbList* list, bool state);
    void lstAppsHidden_Click();
    void lstAppsHidden_MouseMove();
    void Timer1_Timer();
    bool SelectAllState() const { return selectAll_; }

    // One ticked app as every operation walks them: its index, its package folder name
    // and its display name.
    struct TickedApp {
        int index;
        std::string package;
        std::string display;
    };
    // Entry i of both lists is the same app; every operation maps ticks to folders by
    // index, from the first entry to the last.
    void ForEachTickedApp(const std::function<void(const TickedApp&)>& step);

    // ---- Operations ----
    void lblBackup_Click();
    void lblRestore_Click();
    void lblReset_Click();
    void lblHardReset_Click();
    void lblClearAppCache_Click();
    void lblClearAppStoreCache_Click();
    bool RunInProgress() const { return running_; }
    // Called on the thread doing a run's copy or delete each time it reports how far it
    // has come, with the index of its app among those the run works on, before the run
    // looks for a Cancel. Tests hold a run there to see it at a known point, whatever the
    // machine's speed; the program leaves it empty.
    std::function<void(std::size_t app)> onRunProgress;

    // ---- Settings ----
    void LoadExportOption();
    void LoadWindowPlacement();
    void LoadAppChecks();
    void SaveRunInfo();
    void SaveAppChecks();
    void SaveWindowPlacement();
    void LoadAppList();
    void SaveAppList();
    void chkExportSettings_Click();
    void lblExportSettings_Click();
    void lblDeleteSettings_Click();
    void Form_QueryUnload();

    // ---- Panels and links ----
    void lblRepair_Click();
    void PicResetOptions_Click();
    void lblInfo_Click();
    void PicInfo_Click();
    void lblAppName_Click();
    void lblHomepage_Click();
    void lblAppName_MouseMove();
    void lblOpenAppDataDir_Click();
    void lstStatus_MouseMove();
    // Enter on a status line: the tooltip the mouse would show, at the line.
    void lstStatus_NoteAsked();

    const modGlobal::Roots& roots() const { return roots_; }

protected:
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    bool focusNextPrevChild(bool next) override;
    void showEvent(QShowEvent* event) override;
    void moveEvent(QMoveEvent* event) override;

private:
    void BuildControls();
    void ConnectHandlers();
    // Commands, their Tab order and the names accessibility clients read.
    void SetUpKeyboard();
    // Enabled, shown, taking Tab and not lying under an open panel.
    bool Reachable(QWidget* control) const;
    void OpenPanel(VbPanel* panel, VbLabel* opener);
    void ClosePanel(VbPanel* panel, VbLabel* opener);
    VbLabel* MakeLabel(QWidget* parent, const char* name, const QString& caption, const QFont& font,
                       const TwipRect& rect);
    friend class WindowRunHost;
    // Asks the operation's question and, on Yes, runs it over the ticked apps.
    void RunOperation(operations::Operation op, VbLabel* label);
    // The Data folder goes, with one status line that names no app.
    void DeleteConfiguration();
    // Runs the whole-tree copy or delete, keeping the window painted and, past half a
    // second, a progress dialog up; clicks and keys made meanwhile are dropped.
    int RunFileOperation(const std::function<int()>& operation);
    void PumpRun();
    void BeginRun();
    void EndRun();
    // Fills both lists from package folder names, in the order given.
    void FillAppLists(const std::vector<std::string>& packages);
    // Wakes Timer1 after a change; it sleeps again once a tick found nothing to copy.
    void WakeTimer1();
    void CopyTicksToPackageList();

    modGlobal::Roots roots_;
    services::Services services_;
    std::unordered_map<const QWidget*, TwipRect> twips_;
    std::vector<QWidget*> tabOrder_; // every control Tab can reach, in screen order
    bool selectAll_ = false;
    bool running_ = false;
    bool unloaded_ = false;
    QElapsedTimer runClock_;
    QProgressDialog* progress_ = nullptr;
    RunInputDrop* dropInput_ = nullptr; // a child of this window, made at the first run
    WindowRunHost* runHost_ = nullptr;  // the run going on
    bool closeAfterRun_ = false;
    // The current status line, and after it its reason where it has one.
    QString StatusTip() const;
    // What became of a run, where the eye finds it: each line that failed and, after a run
    // with failures, its caption and count in the error colour; the reasons of the lines
    // that have one for the keyboard, the mouse and accessibility clients.
    void ShowOutcome(const operations::RunResult& result, int countRow);
    // The stored outer size is the client size plus the window manager's frame, which is
    // known only once the window is on screen and framed; until then the outer size in
    // pixels waits here, and the client size is corrected when the frame first shows.
    void ApplyPendingOuterSize();
    int pendingOuterWidth_ = -1;
    int pendingOuterHeight_ = -1;
};

} // namespace window
