#pragma once
// The program's entry procedure.

#include "common/Services.h"
#include "common/modGlobal.h"

#include <memory>
#include <string>

namespace window {
class frmMain;
}

namespace modStart {

// Checks for PackagesRoot, restores the stored state and shows the main window. Returns
// the shown window, or nothing when the program must end at once (after the stop
// message: no window has been shown and nothing has been written).
std::unique_ptr<window::frmMain> Main(const modGlobal::Roots& roots, services::Services svc);

} // namespace modStart
