#pragma once
// The user's regional time of day and long date, through Qt Core only, so the window and
// the command line write the same status lines.

#include "start/Services.h"

namespace regional {

class LocaleClock : public services::Clock {
public:
    std::string TimeOfDay() override;
    std::string LongDate() override;
};

} // namespace regional
