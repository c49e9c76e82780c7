// The value conversions of the settings file. The input is read three ways at once: as a
// value text (window positions, the check-box state, the "Apps" ticks), as bits (a list
// of ticks to save and load again), and as 4-byte floats (window positions to save and
// load again). Numbers are checked against the C library's own reading of the same text.

#include "FuzzSupport.h"
#include "settings/modINI.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace {

std::string_view TrimBlanks(std::string_view s) {
    const std::size_t first = s.find_first_not_of(" \t");
    if (first == std::string_view::npos) {
        return {};
    }
    return s.substr(first, s.find_last_not_of(" \t") - first + 1);
}

// What a plain decimal number in the settings file means: blanks, one optional sign, then
// a decimal that from_chars takes whole (so no "inf", "nan", hex or trailing text).
struct Number {
    bool negative = false;
    std::string digits; // the number without blanks and sign
};

std::optional<Number> ReadNumber(std::string_view text) {
    std::string_view s = TrimBlanks(text);
    Number n;
    if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
        n.negative = s.front() == '-';
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
    n.digits = std::string(s);
    return n;
}

// ToInt16 as the C library would do it: strtod in the "C" locale (the fuzzer never sets
// another), nearest whole number with halves to even, then the 16-bit range.
std::optional<std::int16_t> ExpectedInt16(std::string_view text) {
    const auto n = ReadNumber(text);
    if (!n) {
        return std::nullopt;
    }
    const double magnitude = std::strtod(n->digits.c_str(), nullptr); // inf on overflow
    const double rounded = std::nearbyint(n->negative ? -magnitude : magnitude);
    if (!(rounded >= -32768.0 && rounded <= 32767.0)) {
        return std::nullopt;
    }
    return static_cast<std::int16_t>(rounded);
}

bool SameIgnoringAsciiCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto up = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; };
        if (up(a[i]) != up(b[i])) {
            return false;
        }
    }
    return true;
}

std::optional<bool> ExpectedTick(std::string_view entry) {
    if (const auto n = ReadNumber(entry)) {
        // Zero or not by its digits, so "1e-999" (too small for a double) still ticks.
        const std::string mantissa = n->digits.substr(0, n->digits.find_first_of("eE"));
        return mantissa.find_first_of("123456789") != std::string::npos;
    }
    if (SameIgnoringAsciiCase(TrimBlanks(entry), "true")) {
        return true;
    }
    if (SameIgnoringAsciiCase(TrimBlanks(entry), "false")) {
        return false;
    }
    return std::nullopt;
}

void CheckValueText(const std::string& text) {
    const auto value = modINI::ToInt16(text);
    FUZZ_CHECK(value == ExpectedInt16(text), "ToInt16 disagrees with strtod");
    const auto state = modINI::ToCheckState(text);
    FUZZ_CHECK(
        state == (value && *value >= 0 && *value <= 2 ? std::optional<int>(*value) : std::nullopt),
        "ToCheckState is not ToInt16 limited to 0..2");

    const auto checks = modINI::ParseAppChecks(text);
    std::vector<std::optional<bool>> expected;
    if (!text.empty()) {
        std::size_t start = 0;
        for (;;) {
            const std::size_t semi = text.find(';', start);
            expected.push_back(ExpectedTick(std::string_view(text).substr(
                start, semi == std::string::npos ? std::string::npos : semi - start)));
            if (semi == std::string::npos) {
                break;
            }
            start = semi + 1;
        }
    }
    FUZZ_CHECK(checks == expected, "ParseAppChecks disagrees with the entry rules");
}

void CheckTicksRoundTrip(const std::uint8_t* data, std::size_t size) {
    // One tick per input bit, the list length from the first byte, so an empty list and
    // lists that end in the middle of a byte come up too.
    if (size == 0) {
        return;
    }
    const std::size_t count = std::min<std::size_t>(data[0], (size - 1) * 8);
    std::vector<bool> ticks;
    for (std::size_t i = 0; i < count; ++i) {
        ticks.push_back(((data[1 + i / 8] >> (i % 8)) & 1) != 0);
    }
    const std::string joined = modINI::JoinAppChecks(ticks);
    const auto parsed = modINI::ParseAppChecks(joined);
    FUZZ_CHECK(parsed.size() == ticks.size(), "the saved ticks read back as another count");
    for (std::size_t i = 0; i < ticks.size(); ++i) {
        FUZZ_CHECK(parsed[i] == static_cast<bool>(ticks[i]), "a saved tick reads back different");
    }
}

void CheckTwips(float value) {
    const std::string text = modINI::FormatTwips(value);
    if (!std::isfinite(value)) {
        FUZZ_CHECK(!modINI::ToInt16(text), "a broken position reads back as a number");
        return;
    }
    FUZZ_CHECK(text.find_first_of("eE,") == std::string::npos, "not a plain decimal");
    float back = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), back);
    FUZZ_CHECK(ec == std::errc() && end == text.data() + text.size(), "not a number");
    FUZZ_CHECK(back == value, "the saved position reads back as another float");

    // Loading goes through ToInt16: the nearest whole number, when it fits.
    const double rounded = std::nearbyint(static_cast<double>(value));
    const auto loaded = modINI::ToInt16(text);
    if (rounded >= -32768.0 && rounded <= 32767.0) {
        FUZZ_CHECK(loaded && *loaded == rounded, "a saved position loads as another number");
    } else {
        FUZZ_CHECK(!loaded, "an out-of-range position loads as a number");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    try {
        CheckValueText(std::string(reinterpret_cast<const char*>(data), size));
        CheckTicksRoundTrip(data, size);
        for (std::size_t at = 0; at + sizeof(float) <= size; at += sizeof(float)) {
            float value = 0;
            std::memcpy(&value, data + at, sizeof value);
            CheckTwips(value);
        }
    } catch (...) {
        FUZZ_CHECK(false, "a conversion threw");
    }
    return 0;
}
