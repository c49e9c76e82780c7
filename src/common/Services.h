#pragma once
// The three services tests stand in for: questions to the user, launches of other
// programs, and the clock. Production implementations live in the window layer.

#include <cstdint>
#include <string>

namespace services {

// Message-box styles and answers, with the values the system's message box uses.
inline constexpr int MB_OK = 0x00;
inline constexpr int MB_YESNO = 0x04;
inline constexpr int MB_ICONSTOP = 0x10;
inline constexpr int MB_ICONEXCLAMATION = 0x30;
inline constexpr int MB_ICONINFORMATION = 0x40;
inline constexpr int IDOK = 1;
inline constexpr int IDYES = 6;
inline constexpr int IDNO = 7;

// Where the product lives on the web; the one place the host name is written.
inline constexpr char kWebsiteHost[] = "dittoly.example";

class Questions {
public:
    virtual ~Questions() = default;
    // A modal message box; returns the answer (IDYES, IDNO, IDOK).
    virtual int Ask(const std::string& prompt, int style, const std::string& title) = 0;
};

class Launcher {
public:
    virtual ~Launcher() = default;
    // Fire and forget: nothing waits, and a failure is not reported.
    virtual void OpenUrl(const std::string& url) = 0;
    virtual void OpenFolder(const std::string& path) = 0;
    // Starts the store-cache reset tool; false when it could not be started.
    virtual bool StartStoreCacheReset() = 0;
};

class Clock {
public:
    virtual ~Clock() = default;
    // Local time of day in the user's regional format, without a date.
    virtual std::string TimeOfDay() = 0;
    // Today's date in the user's regional long format.
    virtual std::string LongDate() = 0;
    // Now, in seconds since 1970 (UTC): when a backup was made, and History's names.
    virtual std::int64_t UtcNow() = 0;
};

struct Services {
    Questions& questions;
    Launcher& launcher;
    Clock& clock;
};

} // namespace services
