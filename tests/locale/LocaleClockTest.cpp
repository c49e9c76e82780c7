// The status lines' time in every regional format Qt knows.
#include "locale/LocaleClock.h"

#include <QRegularExpression>
#include <QTime>

#include <gtest/gtest.h>

// Cutting only the zone field out leaves "()" in Spanish and Catalan, a trailing comma in
// Belarusian and Albanian, a leading blank where the zone comes first.
TEST(LocaleClock, EveryLocaleShowsHoursMinutesSecondsAndNothingOfTheZone) {
    const QTime time(11, 47, 58);
    // Empty brackets, blanks or commas at either end, doubled blanks or separators.
    const QRegularExpression leftover(
        QStringLiteral(R"(\p{Ps}\s*\p{Pe}|^[\s,،，]|[\s,،，]$|\s\s|\s[,،，]|[,،，]\s*[,،，])"));
    const auto locales =
        QLocale::matchingLocales(QLocale::AnyLanguage, QLocale::AnyScript, QLocale::AnyTerritory);
    ASSERT_GT(locales.size(), 300);
    for (const QLocale& locale : locales) {
        const QString text = locale.toString(time, regional::TimeFormatWithoutZone(locale));
        const auto has = [&](int n) { return text.contains(locale.toString(n)); };
        EXPECT_TRUE(has(11) && has(47) && has(58)) << locale.name().toStdString();
        EXPECT_FALSE(text.contains(locale.toString(time, QStringLiteral("t"))))
            << locale.name().toStdString() << ": " << text.toStdString();
        EXPECT_FALSE(leftover.match(text).hasMatch())
            << locale.name().toStdString() << ": " << text.toStdString();
    }
}
