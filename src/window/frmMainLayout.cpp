// Layout of the main window: design positions in twips, and the rules that move and size
// the controls when the client area changes.
#include "window/frmMain.h"

#include <QFrame>

namespace window {

TwipRect frmMain::Twips(const QWidget* control) const {
    const auto it = twips_.find(control);
    return it != twips_.end() ? it->second : TwipRect{};
}

void frmMain::SetTwips(QWidget* control, const TwipRect& rect) {
    twips_[control] = rect;
    if (auto* label = qobject_cast<QLabel*>(control)) {
        // A label sizes itself to its caption; only its place comes from the layout.
        ApplyTwips(label, {rect.left, rect.top, static_cast<float>(label->width() * kTwipsPerPixel),
                           static_cast<float>(label->height() * kTwipsPerPixel)});
        return;
    }
    ApplyTwips(control, rect);
}

void frmMain::Form_Initialize() {
    RemoveListBorders();
}

void frmMain::RemoveListBorders() {
    for (VbList* list : {lstApps, lstAppsHidden, lstStatus}) {
        list->setFrameShape(QFrame::NoFrame);
    }
}

void frmMain::Form_Resize(float width, float height) {
    const float W = width;
    const float H = height;
    const float T = 0; // the client area's top in the window's own scale

    // Each rule stands alone: one that would make a size negative keeps the old value,
    // and the rules after it still apply.
    const auto set = [this](QWidget* control, float TwipRect::*field, float value) {
        TwipRect rect = Twips(control);
        const bool isSize = field == &TwipRect::width || field == &TwipRect::height;
        if (isSize && value < 0) {
            return;
        }
        rect.*field = value;
        SetTwips(control, rect);
    };
    set(PicLeftNavMenu, &TwipRect::height, H);
    set(lstApps, &TwipRect::height, H - 1200);
    set(lstAppsHidden, &TwipRect::height, H - 1200);
    set(PicMiddle, &TwipRect::width, W - 3500);
    set(lstStatus, &TwipRect::width, W - 7600);
    set(lstStatus, &TwipRect::height, H - 1700);
    set(PicSearch, &TwipRect::left, W / 3);
    set(PicSearch, &TwipRect::top, H / 3);
    set(lblInfo, &TwipRect::top, H + T - 1800);
    set(PicInfo, &TwipRect::top, H + T - 4700);
    set(lblOpenAppDataDir, &TwipRect::left, W - 1000);
    set(PicResetOptions, &TwipRect::left, W - 4200);
    set(PicResetOptions, &TwipRect::height, H);
    PicInfo->hide();
    PicResetOptions->hide();
}

} // namespace window
