#pragma once
// The window's look: its fonts, its icon and its run-time colours.

#include <QColor>
#include <QFont>
#include <optional>
#include <string>

class QWidget;

namespace window {
class frmMain;
}

namespace modUI {

// The three faces of Segoe UI the captions are designed in: Semilight (weight 350),
// regular (400) and Semibold (600).
enum class Face { Semilight, Regular, Semibold };

// The font of `face` at `points`. Where Segoe UI is missing, Lato stands in with its
// Light, Regular and Semibold faces.
QFont DesignFont(Face face, double points, bool underline = false);

// The colour the system marks errors with (Windows' own critical red, close to the error red
// of the Linux desktops): a failed line and a run with failures are drawn in it. It reads on
// white and carries white text, both at better than 4.5:1.
QColor ErrorColour();

// Shows `control`'s text in `colour`, or in the colour it inherits when there is none.
void SetCaptionColour(QWidget* control, const std::optional<QColor>& colour);

// Sets the icon from the icon file in the data folder, then the colours. Called once,
// after the window has been shown.
void ApplyWindowLook(window::frmMain& form);

// Loads `path` as a 16 x 16 icon for both the title bar and the task bar. A missing or
// broken file leaves the window's icon as it was. True when the icon was set.
bool SetWindowIcon(QWidget& window, const std::string& path);

} // namespace modUI
