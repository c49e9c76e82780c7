// What the fuzz target fuzz_modini cannot check against the C library: the settings file on
// disk, and the exact text of a saved position. ToInt16, ToCheckState and ParseAppChecks are
// checked there against strtod, with the cases that used to be tables here among its seeds.
#include "settings/modINI.h"

#include "Fixtures.h"

#include <gtest/gtest.h>

#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace {

using testsupport::TempDir;

TEST(modINIFile, ReadIniCutsButGetIniStringReadsWholeValue) {
    TempDir dir;
    const std::string file = (dir.path() / "ua.ini").string();
    // Ticks for 1000 apps: far past the 2000 characters older versions read.
    std::string apps = "-1";
    for (int i = 1; i < 1000; ++i) {
        apps += ";-1";
    }
    modINI::SetIniString(modINI::kSection, "Apps", apps, file);
    EXPECT_EQ(modINI::GetIniString(modINI::kSection, "Apps", "", file), apps);
    EXPECT_EQ(modINI::ReadIni(file, modINI::kSection, "Apps"), apps.substr(0, 254));
    EXPECT_EQ(modINI::GetIniString(modINI::kSection, "Nope", "dflt", file), "dflt");
    EXPECT_NE(modINI::WriteIni(file, modINI::kSection, "Apps", std::nullopt), 0);
    EXPECT_EQ(modINI::ReadIni(file, modINI::kSection, "Apps"), "");
}

// Plain shortest decimals: no exponent, no thousands separator, no "-0", no fixed decimals.
TEST(modINIConvert, FormatTwipsIsPlainShortestDecimal) {
    for (const auto& [value, text] : std::vector<std::pair<double, std::string>>{
             {-15, "-15"}, {1234.5, "1234.5"}, {-0.0, "0"}, {0.1, "0.1"}, {-1e7, "-10000000"}}) {
        EXPECT_EQ(modINI::FormatTwips(value), text) << value;
    }
    EXPECT_EQ(modINI::ToInt16(modINI::FormatTwips(std::numeric_limits<double>::quiet_NaN())),
              std::nullopt);
}

} // namespace
