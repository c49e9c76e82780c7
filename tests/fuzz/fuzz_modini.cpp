// The value conversions of the settings file. The input is read two ways at once: as a
// value text (window positions, the check-box state, the "Apps" ticks) and as 4-byte
// floats (window positions to save and load again).
// Numbers are checked against the C library's own reading of the same text.

#include "FuzzSupport.h"
#include "settings/modINI.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

using fuzzsupport::Trim;

// A plain decimal number as the settings file holds it: blanks, one optional sign, then a
// decimal that from_chars takes whole (so no "inf", "nan", hex or trailing text). The
// number without blanks and sign, and whether it was negative.
std::optional<std::pair<std::string, bool>> ReadNumber(std::string_view text) {
    std::string_view s = Trim(text);
    const bool negative = !s.empty() && s.front() == '-';
    if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
        s.remove_prefix(1);
    }
    if (s.empty() || !(s.front() == '.' || (s.front() >= '0' && s.front() <= '9'))) {
        return std::nullopt;
    }
    double ignored = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), ignored);
    if ((ec != std::errc() && ec != std::errc::result_out_of_range) || end != s.data() + s.size()) {
        return std::nullopt;
    }
    return std::pair{std::string(s), negative};
}

// A rounded number as a 16-bit one, when it fits (NaN does not).
std::optional<std::int16_t> Int16(double rounded) {
    return rounded >= -32768.0 && rounded <= 32767.0
               ? std::optional<std::int16_t>(static_cast<std::int16_t>(rounded))
               : std::nullopt;
}

// ToInt16 as the C library would do it: strtod in the "C" locale (the fuzzer never sets
// another), inf on overflow, then the nearest whole number with halves to even.
std::optional<std::int16_t> ExpectedInt16(std::string_view text) {
    const auto n = ReadNumber(text);
    const double magnitude = n ? std::strtod(n->first.c_str(), nullptr) : std::nan("");
    return Int16(std::nearbyint(n && n->second ? -magnitude : magnitude));
}

std::optional<bool> ExpectedTick(std::string_view entry) {
    if (const auto n = ReadNumber(entry)) {
        // Zero or not by its digits, so "1e-999" (too small for a double) still ticks.
        return n->first.substr(0, n->first.find_first_of("eE")).find_first_of("123456789") !=
               std::string::npos;
    }
    const bool yes = fuzzsupport::SameIgnoringCase(Trim(entry), "true");
    return yes || fuzzsupport::SameIgnoringCase(Trim(entry), "false") ? std::optional(yes)
                                                                      : std::nullopt;
}

void CheckTwips(float value) {
    const std::string text = modINI::FormatTwips(value);
    const auto loaded = modINI::ToInt16(text);
    if (!std::isfinite(value)) {
        FUZZ_CHECK(!loaded, "a broken position reads back as a number");
        return;
    }
    float back = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), back);
    FUZZ_CHECK(ec == std::errc() && end == text.data() + text.size() && back == value &&
                   text.find_first_of("eE,") == std::string::npos,
               "a saved position is not a plain decimal that reads back as the same float");
    // Loading goes through ToInt16: the nearest whole number, when it fits.
    FUZZ_CHECK(loaded == Int16(std::nearbyint(static_cast<double>(value))),
               "a saved position loads as another number");
}

void Check(const std::string& text) {
    const auto value = modINI::ToInt16(text);
    FUZZ_CHECK(value == ExpectedInt16(text), "ToInt16 disagrees with strtod");
    FUZZ_CHECK(
        modINI::ToCheckState(text) ==
            (value && *value >= 0 && *value <= 2 ? std::optional<int>(*value) : std::nullopt),
        "ToCheckState is not ToInt16 limited to 0..2");

    std::vector<std::optional<bool>> expected;
    for (std::size_t start = 0; !text.empty() && start <= text.size();) {
        const std::size_t semi = std::min(text.find(';', start), text.size());
        expected.push_back(ExpectedTick(std::string_view(text).substr(start, semi - start)));
        start = semi + 1;
    }
    FUZZ_CHECK(modINI::ParseAppChecks(text) == expected,
               "ParseAppChecks disagrees with the entry rules");

    for (std::size_t at = 0; at + sizeof(float) <= text.size(); at += sizeof(float)) {
        float position = 0;
        std::memcpy(&position, text.data() + at, sizeof position);
        CheckTwips(position);
    }
}

} // namespace

FUZZ_TARGET(Check)
