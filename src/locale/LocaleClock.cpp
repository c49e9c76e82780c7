#include "locale/LocaleClock.h"

#include <QDate>
#include <QLocale>
#include <QTime>

namespace regional {

std::string LocaleClock::TimeOfDay() {
    // The locale's long time format names the time zone; the log shows hours, minutes
    // and seconds only.
    QString format = QLocale::system().timeFormat(QLocale::LongFormat);
    format.remove(QLatin1Char('t')).replace(QLatin1String("  "), QLatin1String(" "));
    return QLocale::system().toString(QTime::currentTime(), format.trimmed()).toStdString();
}

std::string LocaleClock::LongDate() {
    return QLocale::system().toString(QDate::currentDate(), QLocale::LongFormat).toStdString();
}

} // namespace regional
