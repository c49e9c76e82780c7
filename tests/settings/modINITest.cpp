#include "settings/modINI.h"

#include "Fixtures.h"

#include <gtest/gtest.h>

#include <cstdint>
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

// Halves go to the even neighbour; only plain decimals in the 16-bit range are numbers,
// and the check-box state is one of them limited to 0..2.
TEST(modINIConvert, ToInt16RoundsHalvesToEvenWithinRange) {
    const std::vector<std::pair<std::string, int>> good = {
        {" 42 ", 42},  {"\t-7", -7},   {"+3", 3},          {"2.5", 2},         {"3.5", 4},
        {"-2.5", -2},  {".5", 0},      {"5.", 5},          {"1e2", 100},       {"15E-1", 2},
        {"1e-400", 0}, {"000012", 12}, {"32767.4", 32767}, {"-32768", -32768},
    };
    for (const auto& [text, value] : good) {
        EXPECT_EQ(modINI::ToInt16(text), std::optional<std::int16_t>(value)) << text;
    }
    for (const char* text : {"", "abc", "1,5", "12px", "0x10", "nan", "inf", "-", ".", "e2", "1e",
                             "- 5", "1 2", "32768", "-32769", "32767.5", "1e400", "1e5"}) {
        EXPECT_EQ(modINI::ToInt16(text), std::nullopt) << text;
    }
    EXPECT_EQ(modINI::ToCheckState(" 2 "), 2);
    EXPECT_EQ(modINI::ToCheckState("3"), std::nullopt);
    EXPECT_EQ(modINI::ToCheckState("-1"), std::nullopt);
}

TEST(modINIConvert, AppChecksSkipBadEntriesAndKeepPositions) {
    using Checks = std::vector<std::optional<bool>>;
    EXPECT_EQ(modINI::ParseAppChecks(""), Checks{});
    EXPECT_EQ(modINI::ParseAppChecks("-1;x;0; TRUE ;false;;1e400;0.0e9;12px;2"),
              (Checks{true, std::nullopt, false, true, false, std::nullopt, true, false,
                      std::nullopt, true}));
    EXPECT_EQ(modINI::JoinAppChecks({true, false, true}), "-1;0;-1");
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
