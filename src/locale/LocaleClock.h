#pragma once
// The clock of the status lines and the log header: the user's regional time of day and
// long date, from Qt Core alone so that every front end can use it.

#include "common/Services.h"

#include <QLocale>
#include <QString>

namespace regional {

// The locale's long time format without its time-zone field and the brackets, comma or
// blanks that only belong to that field: hours, minutes and seconds (and the day period
// where the locale has one) are left, in the locale's order and words.
QString TimeFormatWithoutZone(const QLocale& locale);

class LocaleClock : public services::Clock {
public:
    std::string TimeOfDay() override;
    std::string LongDate() override;
    std::int64_t UtcNow() override;
};

} // namespace regional
