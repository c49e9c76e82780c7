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
using testsupport::WriteText;

TEST(modINIFile, ReadIniCutsButGetIniStringReadsWholeValue) {
    TempDir dir;
    const std::string file = (dir.path() / "ua.ini").string();
    // Ticks for 1000 apps: far past the 2000 characters older versions read.
    std::string apps;
    for (int i = 0; i < 1000; ++i) {
        apps += i == 0 ? "-1" : ";-1";
    }
    modINI::SetIniString(modINI::kSection, "Apps", apps, file);
    EXPECT_EQ(modINI::GetIniString(modINI::kSection, "Apps", "", file), apps);
    EXPECT_EQ(modINI::ReadIni(file, modINI::kSection, "Apps"), apps.substr(0, 254));
    EXPECT_EQ(modINI::GetIniString(modINI::kSection, "Nope", "dflt", file), "dflt");
    EXPECT_EQ(modINI::ReadIni(file, modINI::kSection, "Nope"), "");

    EXPECT_NE(modINI::WriteIni(file, modINI::kSection, "Apps", std::nullopt), 0);
    EXPECT_EQ(modINI::GetIniString(modINI::kSection, "Apps", "none", file), "none");
    EXPECT_EQ(modINI::WriteIni((dir.path() / "no" / "ua.ini").string(), "UA", "K", "v"), 0);
}

TEST(modINIConvert, ToInt16RoundsHalvesToEvenWithinRange) {
    const std::vector<std::pair<std::string, int>> good = {
        {"0", 0},           {" 42 ", 42},  {"\t-7", -7},   {"+3", 3},        {"2.5", 2},
        {"3.5", 4},         {"-2.5", -2},  {"-3.5", -4},   {".5", 0},        {"5.", 5},
        {"1.49", 1},        {"1e2", 100},  {"15E-1", 2},   {"32767", 32767}, {"-32768", -32768},
        {"32767.4", 32767}, {"1e-400", 0}, {"000012", 12},
    };
    for (const auto& [text, value] : good) {
        EXPECT_EQ(modINI::ToInt16(text), std::optional<std::int16_t>(value)) << text;
    }
    for (const char* text : {"", "  ", "abc", "1,5", "12px", "0x10", "nan", "inf", "-", ".", "e2",
                             "1e", "- 5", "1 2", "32768", "-32769", "32767.5", "1e400", "1e5"}) {
        EXPECT_EQ(modINI::ToInt16(text), std::nullopt) << text;
    }
}

TEST(modINIConvert, ToCheckStateAcceptsOnlyZeroOneTwo) {
    EXPECT_EQ(modINI::ToCheckState("0"), 0);
    EXPECT_EQ(modINI::ToCheckState(" 2 "), 2);
    EXPECT_EQ(modINI::ToCheckState("1.4"), 1);
    EXPECT_EQ(modINI::ToCheckState("3"), std::nullopt);
    EXPECT_EQ(modINI::ToCheckState("-1"), std::nullopt);
    EXPECT_EQ(modINI::ToCheckState("yes"), std::nullopt);
}

TEST(modINIConvert, AppChecksSkipBadEntriesAndKeepPositions) {
    using Checks = std::vector<std::optional<bool>>;
    EXPECT_EQ(modINI::ParseAppChecks(""), Checks{});
    EXPECT_EQ(modINI::ParseAppChecks("-1;x;0; TRUE ;false;;1e400;0.0e9;12px;2"),
              (Checks{true, std::nullopt, false, true, false, std::nullopt, true, false,
                      std::nullopt, true}));
    EXPECT_EQ(modINI::ParseAppChecks("-1;"), (Checks{true, std::nullopt}));

    EXPECT_EQ(modINI::JoinAppChecks({}), "");
    EXPECT_EQ(modINI::JoinAppChecks({true, false, true}), "-1;0;-1");
    const std::vector<bool> ticks = {false, true, true, false};
    std::vector<std::optional<bool>> back;
    for (bool tick : ticks) {
        back.emplace_back(tick);
    }
    EXPECT_EQ(modINI::ParseAppChecks(modINI::JoinAppChecks(ticks)), back);
}

TEST(modINIConvert, FormatTwipsIsPlainShortestDecimal) {
    EXPECT_EQ(modINI::FormatTwips(1200), "1200");
    EXPECT_EQ(modINI::FormatTwips(-15), "-15");
    EXPECT_EQ(modINI::FormatTwips(1234.5), "1234.5");
    EXPECT_EQ(modINI::FormatTwips(0), "0");
    EXPECT_EQ(modINI::FormatTwips(-0.0), "0");
    EXPECT_EQ(modINI::FormatTwips(0.1), "0.1");
    EXPECT_EQ(modINI::FormatTwips(9999999), "9999999");
    EXPECT_EQ(modINI::FormatTwips(-1e7), "-10000000");
    EXPECT_EQ(modINI::ToInt16(modINI::FormatTwips(std::numeric_limits<double>::quiet_NaN())),
              std::nullopt);
}

} // namespace
