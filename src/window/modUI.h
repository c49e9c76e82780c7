#pragma once
// The window's look: its icon and its run-time colours.

#include <string>

class QWidget;

namespace window {
class frmMain;
}

namespace modUI {

// Sets the icon from the icon file in the data folder, then the colours. Called once,
// after the window has been shown.
void ApplyWindowLook(window::frmMain& form);

// Loads `path` as a 16 x 16 icon for both the title bar and the task bar. A missing or
// broken file leaves the window's icon as it was. True when the icon was set.
bool SetWindowIcon(QWidget& window, const std::string& path);

} // namespace modUI
