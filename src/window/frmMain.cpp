#include "window/frmMain.h"

#include "window/modUI.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QScreen>
#include <QWindow>
#include <cmath>

namespace window {

namespace {

QFont Semilight(double points, bool underline = false) {
    return modUI::DesignFont(modUI::Face::Semilight, points, underline);
}

} // namespace

frmMain::frmMain(modGlobal::Roots roots, services::Services services)
    : roots_(std::move(roots)), services_(services) {
    setObjectName("frmMain");
    setWindowTitle("Dittoly UA");
    setFont(Semilight(8.25));
    // Until the icon file is loaded the window shows an empty, fully transparent icon.
    QPixmap empty(16, 16);
    empty.fill(Qt::transparent);
    setWindowIcon(QIcon(empty));
    resize(static_cast<int>(std::lround(13740 / kTwipsPerPixel)),
           static_cast<int>(std::lround(7470 / kTwipsPerPixel)));
    BuildControls();
    SetUpKeyboard();
    ConnectHandlers();
    Form_Initialize();
}

frmMain::~frmMain() {
    // The lists outlive this object's own part of the destruction and still signal while
    // their items go; nothing of ours may be called by then.
    for (VbList* list : {lstAppsHidden, lstApps, lstStatus}) {
        list->model()->disconnect(this);
        list->disconnect(this);
    }
}

VbLabel* frmMain::MakeLabel(QWidget* parent, const char* name, const QString& caption,
                            const QFont& font, const TwipRect& rect) {
    auto* label = new VbLabel(parent, QString::fromLatin1(name), caption);
    label->setFont(font);
    label->adjustSize();
    SetTwips(label, rect);
    return label;
}

void frmMain::BuildControls() {
    // Creation order is stacking order, back to front: the labels drawn on the window's
    // own surface first, then the windowed controls from the hidden list up to the
    // options panel, which covers everything it overlaps.
    lblOpenAppDataDir =
        MakeLabel(this, "lblOpenAppDataDir", "Open", Semilight(12, true), {11640, 960, 570, 315});
    lblOpenAppDataDir->setToolTip("Open app data directory");
    lblOpenAppDataDir->SetHand(true);
    lblStatus = MakeLabel(this, "lblStatus", "", Semilight(14.25), {7500, 960, 75, 375});

    lstApps = new VbList(this, "lstApps", true);
    lstApps->setFont(modUI::DesignFont(modUI::Face::Regular, 11.25));
    SetTwips(lstApps, {3360, 960, 4005, 5970});
    lstApps->setSortingEnabled(false); // kept sorted by our own insertion
    lstApps->hide();

    lstAppsHidden = new VbList(this, "lstAppsHidden", true);
    lstAppsHidden->setFont(modUI::DesignFont(modUI::Face::Regular, 11.25));
    SetTwips(lstAppsHidden, {3360, 960, 4005, 5970});

    lstStatus = new VbList(this, "lstStatus", false);
    lstStatus->setFont(modUI::DesignFont(modUI::Face::Regular, 9.75));
    SetTwips(lstStatus, {7440, 1540, 4935, 5385});
    lstStatus->ShowWholeLines();

    PicMiddle = new VbPanel(this, "PicMiddle");
    SetTwips(PicMiddle, {3240, 0, 9015, 855});
    PicMiddle->SetBackground(Qt::white);
    lblApp =
        MakeLabel(PicMiddle, "lblApp", "no app selected", Semilight(14.25), {150, 120, 1965, 375});

    PicLeftNavMenu = new VbPanel(this, "PicLeftNavMenu");
    SetTwips(PicLeftNavMenu, {0, 840, 3285, 6735});
    const QFont nav = Semilight(14.25);
    lblApps = MakeLabel(PicLeftNavMenu, "lblApps", "Apps", nav, {720, 480, 630, 375});
    lblApps->setToolTip("Refresh or restart to search again!");
    lblAppsInstalled =
        MakeLabel(PicLeftNavMenu, "lblAppsInstalled", "0", nav, {2880, 480, 150, 375});
    lblBackup = MakeLabel(PicLeftNavMenu, "lblBackup", "Backup", nav, {720, 1200, 900, 375});
    lblBackup->setToolTip("Backup selected apps");
    lblRestore = MakeLabel(PicLeftNavMenu, "lblRestore", "Restore", nav, {720, 1920, 930, 375});
    lblRestore->setToolTip("Restore selected apps");
    lblSelect = MakeLabel(PicLeftNavMenu, "lblSelect", "Select", nav, {720, 2640, 735, 375});
    lblSelect->setToolTip("Select or unselect all apps");
    lblAppsSelected =
        MakeLabel(PicLeftNavMenu, "lblAppsSelected", "0", nav, {2880, 2640, 150, 375});
    lblRepair = MakeLabel(PicLeftNavMenu, "lblRepair", "Repair", nav, {720, 3360, 780, 375});
    lblRepair->setToolTip("Reset selected apps to factory defaults");
    lblInfo = MakeLabel(PicLeftNavMenu, "lblInfo", "Info", nav, {720, 6000, 480, 375});
    for (VbLabel* hand : {lblApps, lblBackup, lblRestore, lblSelect, lblRepair, lblInfo}) {
        hand->SetHand(true);
    }

    PicLeft = new VbPanel(this, "PicLeft");
    SetTwips(PicLeft, {0, 0, 3285, 855});
    lblAppName = MakeLabel(PicLeft, "lblAppName", "Dittoly",
                           modUI::DesignFont(modUI::Face::Semibold, 15.75), {720, 75, 1410, 450});
    lblAppName->SetHand(true);
    Label3 =
        MakeLabel(PicLeft, "Label3", "for Universal Apps", Semilight(9), {720, 525, 1440, 225});

    PicInfo = new VbPanel(this, "PicInfo");
    SetTwips(PicInfo, {0, 4680, 4215, 3615});
    lblAboutApp = MakeLabel(PicInfo, "lblAboutApp", "Info", Semilight(20.25), {600, 0, 675, 555});
    lblVersionInfo =
        MakeLabel(PicInfo, "lblVersionInfo", "Version", Semilight(12), {600, 840, 780, 315});
    lblVersion = MakeLabel(PicInfo, "lblVersion", "0.7.1", Semilight(12), {1560, 840, 450, 315});
    lblCopyright = MakeLabel(PicInfo, "lblCopyright", "\u00a9 2026 the Dittoly UA team",
                             Semilight(12), {600, 1200, 2775, 315});
    lblAboutInfo = MakeLabel(PicInfo, "lblAboutInfo", "Visit the Projects website", Semilight(12),
                             {600, 1995, 2550, 315});
    lblHomepage = MakeLabel(PicInfo, "lblHomepage", services::kWebsiteHost, Semilight(12, true),
                            {600, 2400, 1890, 315});
    lblHomepage->SetHand(true);
    lblExportSettings = MakeLabel(PicInfo, "lblExportSettings", "Export app configuration",
                                  Semilight(9), {960, 3105, 1950, 225});
    lblDeleteSettings = MakeLabel(PicInfo, "lblDeleteSettings", "Delete app configuration",
                                  Semilight(9, true), {600, 3120, 1950, 225});
    lblDeleteSettings->SetHand(true);
    lblDeleteSettings->hide();
    for (VbLabel* opaque : {lblExportSettings, lblDeleteSettings}) {
        opaque->setAutoFillBackground(true);
        QPalette pal = opaque->palette();
        pal.setColor(QPalette::Window, pal.color(QPalette::Button));
        pal.setColor(QPalette::WindowText, pal.color(QPalette::ButtonText));
        opaque->setPalette(pal);
    }
    {
        QPalette pal = lblAboutInfo->palette();
        pal.setColor(QPalette::WindowText, pal.color(QPalette::ButtonText));
        lblAboutInfo->setPalette(pal);
    }
    chkExportSettings = new VbCheck(PicInfo, "chkExportSettings");
    chkExportSettings->setAccessibleName("Check1");
    SetTwips(chkExportSettings, {600, 3120, 255, 195});
    PicInfo->hide();

    PicSearch = new VbPanel(this, "PicSearch");
    SetTwips(PicSearch, {4080, 2280, 7575, 1575});
    lblSearch = MakeLabel(PicSearch, "lblSearch", "search apps packages", Semilight(15.75, true),
                          {2400, 480, 3030, 450});
    lblSearch->SetHand(true);
    Label1 = MakeLabel(PicSearch, "Label1",
                       "Backup folder will be automatically created in the working directory "
                       "of Dittoly UA",
                       font(), {840, 1320, 5850, 195});

    PicResetOptions = new VbPanel(this, "PicResetOptions");
    SetTwips(PicResetOptions, {12480, 0, 4215, 7455});
    Label6 =
        MakeLabel(PicResetOptions, "Label6", "Repair App", Semilight(18), {720, 75, 1725, 480});
    const QFont option = Semilight(14.25, true);
    lblReset =
        MakeLabel(PicResetOptions, "lblReset", "Normal Reset", option, {720, 1320, 1665, 375});
    lblReset->setToolTip("Reset selected apps");
    lblHardReset =
        MakeLabel(PicResetOptions, "lblHardReset", "Hard Reset", option, {720, 2040, 1350, 375});
    lblHardReset->setToolTip("Hard reset selected apps");
    lblClearAppCache = MakeLabel(PicResetOptions, "lblClearAppCache", "Clear App Cache", option,
                                 {720, 2760, 2055, 375});
    lblClearAppCache->setToolTip("Clear cache of selected apps");
    lblClearAppStoreCache = MakeLabel(PicResetOptions, "lblClearAppStoreCache",
                                      "Clear App Store Cache", option, {720, 3480, 2775, 375});
    lblClearAppStoreCache->setToolTip("Clear apps store cache only");
    for (VbLabel* hand : {lblReset, lblHardReset, lblClearAppCache, lblClearAppStoreCache}) {
        hand->SetHand(true);
    }
    PicResetOptions->hide();

    for (VbLabel* label : AppCommands()) {
        label->setEnabled(false);
    }

    Timer1 = new QTimer(this);
    Timer1->setObjectName("Timer1");
    Timer1->setInterval(1);
    Timer1->setTimerType(Qt::PreciseTimer);
}

std::vector<VbLabel*> frmMain::AppCommands() const {
    return {lblApps,   lblAppsInstalled, lblBackup, lblAppsSelected, lblRestore,
            lblRepair, lblSelect,        lblReset,  lblHardReset,    lblOpenAppDataDir};
}

void frmMain::EnableAppCommands() {
    for (VbLabel* label : AppCommands()) {
        label->setEnabled(true);
    }
}

void frmMain::ConnectHandlers() {
    const auto on = [this](VbLabel* label, void (frmMain::*handler)()) {
        connect(label, &VbLabel::clicked, this, handler);
    };
    on(lblSearch, &frmMain::lblSearch_Click);
    on(lblApps, &frmMain::lblApps_Click);
    on(lblSelect, &frmMain::lblSelect_Click);
    on(lblBackup, &frmMain::lblBackup_Click);
    on(lblRestore, &frmMain::lblRestore_Click);
    on(lblReset, &frmMain::lblReset_Click);
    on(lblHardReset, &frmMain::lblHardReset_Click);
    on(lblClearAppCache, &frmMain::lblClearAppCache_Click);
    on(lblClearAppStoreCache, &frmMain::lblClearAppStoreCache_Click);
    on(lblExportSettings, &frmMain::lblExportSettings_Click);
    on(lblDeleteSettings, &frmMain::lblDeleteSettings_Click);
    on(lblRepair, &frmMain::lblRepair_Click);
    on(lblInfo, &frmMain::lblInfo_Click);
    on(lblAppName, &frmMain::lblAppName_Click);
    on(lblHomepage, &frmMain::lblHomepage_Click);
    on(lblOpenAppDataDir, &frmMain::lblOpenAppDataDir_Click);
    connect(lblAppName, &VbLabel::mouseMoved, this, &frmMain::lblAppName_MouseMove);
    connect(PicResetOptions, &VbPanel::clicked, this, &frmMain::PicResetOptions_Click);
    connect(PicInfo, &VbPanel::clicked, this, &frmMain::PicInfo_Click);
    connect(chkExportSettings, &QCheckBox::stateChanged, this, &frmMain::chkExportSettings_Click);
    connect(lstStatus, &VbList::mouseMoved, this, &frmMain::lstStatus_MouseMove);
    connect(lstStatus, &VbList::noteAsked, this, &frmMain::lstStatus_NoteAsked);
    connect(lstAppsHidden, &VbList::mouseMoved, this, &frmMain::lstAppsHidden_MouseMove);
    // The list raises this for the user's clicks and keys and for the program's own
    // changes of the current entry alike, so the app name always follows it.
    connect(lstAppsHidden, &QListWidget::currentRowChanged, this, &frmMain::lstAppsHidden_Click);
    connect(Timer1, &QTimer::timeout, this, &frmMain::Timer1_Timer);
    for (VbList* list : {lstAppsHidden, lstApps}) {
        QAbstractItemModel* model = list->model();
        connect(model, &QAbstractItemModel::dataChanged, this, &frmMain::WakeTimer1);
        connect(model, &QAbstractItemModel::rowsInserted, this, &frmMain::WakeTimer1);
        connect(model, &QAbstractItemModel::rowsRemoved, this, &frmMain::WakeTimer1);
        connect(model, &QAbstractItemModel::modelReset, this, &frmMain::WakeTimer1);
        connect(list, &QListWidget::currentRowChanged, this, &frmMain::WakeTimer1);
    }
    WakeTimer1();
}

// ---- Window placement, in twips of the outer frame ----

float frmMain::Left() const {
    return static_cast<float>(frameGeometry().x() * kTwipsPerPixel);
}
float frmMain::Top() const {
    return static_cast<float>(frameGeometry().y() * kTwipsPerPixel);
}
float frmMain::Width() const {
    return static_cast<float>(frameGeometry().width() * kTwipsPerPixel);
}
float frmMain::Height() const {
    return static_cast<float>(frameGeometry().height() * kTwipsPerPixel);
}

namespace {
int ToPixels(float twips) {
    return static_cast<int>(std::lround(twips / kTwipsPerPixel));
}
} // namespace

void frmMain::SetLeft(float twips) {
    move(ToPixels(twips), frameGeometry().y());
}
void frmMain::SetTop(float twips) {
    move(frameGeometry().x(), ToPixels(twips));
}
void frmMain::SetWidth(float twips) {
    const int frame = frameGeometry().width() - width();
    const int client = ToPixels(twips) - frame;
    if (client >= 0) {
        resize(client, height());
        pendingOuterWidth_ = frame == 0 ? ToPixels(twips) : -1;
    }
}
void frmMain::SetHeight(float twips) {
    const int frame = frameGeometry().height() - height();
    const int client = ToPixels(twips) - frame;
    if (client >= 0) {
        resize(width(), client);
        pendingOuterHeight_ = frame == 0 ? ToPixels(twips) : -1;
    }
}

void frmMain::ApplyPendingOuterSize() {
    if (pendingOuterWidth_ < 0 && pendingOuterHeight_ < 0) {
        return;
    }
    const QSize frame = frameGeometry().size() - size();
    if (frame.isNull()) {
        return; // not framed yet, or never: then the client size already is the outer size
    }
    const int w = pendingOuterWidth_ >= 0 ? pendingOuterWidth_ - frame.width() : width();
    const int h = pendingOuterHeight_ >= 0 ? pendingOuterHeight_ - frame.height() : height();
    pendingOuterWidth_ = pendingOuterHeight_ = -1;
    if (w >= 0 && h >= 0 && QSize(w, h) != size()) {
        resize(w, h);
    }
}

void frmMain::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    ApplyPendingOuterSize();
}

void frmMain::moveEvent(QMoveEvent* event) {
    QWidget::moveEvent(event);
    ApplyPendingOuterSize();
}

void frmMain::KeepOnScreen() {
    const QRect frame = frameGeometry();
    for (const QScreen* screen : QGuiApplication::screens()) {
        if (screen->availableGeometry().intersects(frame)) {
            return;
        }
    }
    if (const QScreen* primary = QGuiApplication::primaryScreen()) {
        const QRect area = primary->availableGeometry();
        move(area.topLeft());
    }
}

void frmMain::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    ApplyPendingOuterSize();
    if (!isMinimized()) {
        Form_Resize(static_cast<float>(width() * kTwipsPerPixel),
                    static_cast<float>(height() * kTwipsPerPixel));
    }
}

void frmMain::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange) {
        // A minimised window has no client area; restoring it lays everything out again.
        if (isMinimized()) {
            Form_Resize(0, 0);
        } else {
            Form_Resize(static_cast<float>(width() * kTwipsPerPixel),
                        static_cast<float>(height() * kTwipsPerPixel));
        }
    }
}

void frmMain::closeEvent(QCloseEvent* event) {
    // The close is never refused, but one asked for during a run waits for its end; the
    // save runs once, however the window is closed.
    if (running_) {
        closeAfterRun_ = true;
        event->ignore();
        return;
    }
    if (!unloaded_) {
        Form_QueryUnload();
    }
    event->accept();
}

} // namespace window
