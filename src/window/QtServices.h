#pragma once
// The production services: message boxes and launches through the desktop. The clock is
// regional::LocaleClock.

#include "start/Services.h"

class QWidget;

namespace window {

class QtQuestions : public services::Questions {
public:
    int Ask(const std::string& prompt, int style, const std::string& title) override;
};

class DesktopLauncher : public services::Launcher {
public:
    void OpenUrl(const std::string& url) override;
    void OpenFolder(const std::string& path) override;
    // There is no store-cache reset tool on this platform: starting it fails here unless
    // a program of that name is on the search path.
    bool StartStoreCacheReset() override;
};

} // namespace window
