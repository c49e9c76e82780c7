#pragma once
// The production services: message boxes and launches through the desktop. The clock is
// regional::LocaleClock.

#include "common/Services.h"

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
    // The system's store-cache reset tool; where the system has none (Linux), a program
    // of that name on the search path, else the start fails.
    bool StartStoreCacheReset() override;
};

} // namespace window
