#include "settings/modINI.h"

#include "platform/Ini.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <limits>
#include <string_view>
#include <system_error>

namespace modINI {
namespace {

// The fixed buffer ReadIni has always read through.
constexpr std::size_t kReadIniBuffer = 255;

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

std::string_view Trim(std::string_view s) {
    return platform::TrimBlanks(s);
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) {
            return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
        };
        if (lower(a[i]) != lower(b[i])) {
            return false;
        }
    }
    return true;
}

// A plain decimal number as the settings file may hold it: blanks around, an optional
// sign, digits with an optional fraction (".5" and "5." both count) and an optional
// exponent. Hex, thousands separators, units, "nan" and "inf" are not numbers here, so a
// hand-edited value like "12px" falls back to the default instead of being half-read.
struct Decimal {
    bool negative = false;
    bool nonZero = false;       // any non-zero digit before the exponent
    long long order = 0;        // power of ten of the leading non-zero digit, when nonZero
    std::string_view unsigned_; // the number without blanks and sign
};

std::optional<Decimal> ParseDecimal(std::string_view text) {
    std::string_view s = Trim(text);
    Decimal d;
    if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
        d.negative = s.front() == '-';
        s.remove_prefix(1);
    }
    d.unsigned_ = s;
    std::size_t i = 0;
    std::size_t digits = 0;
    std::size_t integerDigits = 0;
    while (integerDigits < s.size() && IsDigit(s[integerDigits])) {
        ++integerDigits;
    }
    // The power of ten of the next digit read, so the leading non-zero one gives the order.
    long long position = static_cast<long long>(integerDigits) - 1;
    const auto takeDigits = [&] {
        while (i < s.size() && IsDigit(s[i])) {
            if (s[i] != '0' && !d.nonZero) {
                d.nonZero = true;
                d.order = position;
            }
            --position;
            ++i;
            ++digits;
        }
    };
    takeDigits();
    if (i < s.size() && s[i] == '.') {
        ++i;
        takeDigits();
    }
    if (digits == 0) {
        return std::nullopt;
    }
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        bool negativeExponent = false;
        if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
            negativeExponent = s[i] == '-';
            ++i;
        }
        const std::size_t start = i;
        long long exponent = 0;
        while (i < s.size() && IsDigit(s[i])) {
            // Saturate: beyond this the number is far out of any range we care about.
            exponent = std::min(exponent * 10 + (s[i] - '0'), 1'000'000'000LL);
            ++i;
        }
        if (i == start) {
            return std::nullopt;
        }
        d.order += negativeExponent ? -exponent : exponent;
    }
    if (i != s.size()) {
        return std::nullopt;
    }
    return d;
}

} // namespace

std::string ReadIni(const std::string& file, const std::string& section, const std::string& key) {
    return platform::GetProfileString(section, key, "", file, kReadIniBuffer);
}

long WriteIni(const std::string& file, const std::string& section, const std::string& key,
              const std::optional<std::string>& value) {
    return platform::WriteProfileString(section, key, value, file);
}

std::string GetIniString(const std::string& section, const std::string& key,
                         const std::string& fallback, const std::string& file) {
    // No cut at all: "Apps" grows by two or three characters per app, and any fixed
    // buffer would silently drop the ticks of the apps past it.
    return platform::GetProfileString(section, key, fallback, file,
                                      std::numeric_limits<std::size_t>::max());
}

void SetIniString(const std::string& section, const std::string& key, const std::string& value,
                  const std::string& file) {
    platform::WriteProfileString(section, key, value, file);
}

std::optional<std::int16_t> ToInt16(const std::string& text) {
    const auto d = ParseDecimal(text);
    if (!d) {
        return std::nullopt;
    }
    if (!d->nonZero) {
        return std::int16_t{0};
    }
    // Anything from 1e5 up is out of range whatever its digits; deciding that before the
    // conversion means from_chars can only ever underflow, never overflow.
    if (d->order >= 5) {
        return std::nullopt;
    }
    // from_chars reads the validated text the same way in every locale.
    double magnitude = 0;
    const std::string_view s = d->unsigned_;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), magnitude);
    if (ec == std::errc::result_out_of_range) {
        magnitude = 0; // too small for a double, so nearest whole number is zero
    } else if (ec != std::errc() || end != s.data() + s.size()) {
        return std::nullopt;
    }
    // nearbyint rounds in the default mode, which takes halves to the even neighbour.
    const double rounded = std::nearbyint(d->negative ? -magnitude : magnitude);
    if (rounded < std::numeric_limits<std::int16_t>::min() ||
        rounded > std::numeric_limits<std::int16_t>::max()) {
        return std::nullopt;
    }
    return static_cast<std::int16_t>(rounded);
}

std::optional<int> ToCheckState(const std::string& text) {
    const auto n = ToInt16(text);
    if (!n || *n < 0 || *n > 2) {
        return std::nullopt;
    }
    return *n;
}

std::vector<std::optional<bool>> ParseAppChecks(const std::string& value) {
    std::vector<std::optional<bool>> checks;
    if (value.empty()) {
        return checks;
    }
    std::string_view rest = value;
    for (;;) {
        const std::size_t semi = rest.find(';');
        const std::string_view entry = rest.substr(0, semi);
        if (const auto d = ParseDecimal(entry)) {
            // Any magnitude counts: only whether the number is zero matters.
            checks.emplace_back(d->nonZero);
        } else if (EqualsIgnoringCase(Trim(entry), "true")) {
            checks.emplace_back(true);
        } else if (EqualsIgnoringCase(Trim(entry), "false")) {
            checks.emplace_back(false);
        } else {
            checks.emplace_back(std::nullopt);
        }
        if (semi == std::string_view::npos) {
            break;
        }
        rest.remove_prefix(semi + 1);
    }
    return checks;
}

std::string JoinAppChecks(const std::vector<bool>& ticks) {
    std::string out;
    for (std::size_t i = 0; i < ticks.size(); ++i) {
        if (i > 0) {
            out += ';';
        }
        out += ticks[i] ? "-1" : "0";
    }
    return out;
}

std::string FormatTwips(double value) {
    // Window positions are kept as single-precision values, so the shortest text that
    // reads back to the same float is the honest one: 1234.5 stays "1234.5", not
    // "1234.5000000". Fixed notation keeps exponents out of the file.
    const float f = static_cast<float>(value);
    if (f == 0) {
        return "0"; // also for -0, which would print as "-0"
    }
    char buffer[64];
    const auto [end, ec] =
        std::to_chars(buffer, buffer + sizeof buffer, f, std::chars_format::fixed);
    if (ec != std::errc()) {
        return "0";
    }
    // Non-finite values come out as "nan"/"inf", which ToInt16 refuses on the way back,
    // so a broken position falls back to the default instead of moving the window.
    return std::string(buffer, end);
}

} // namespace modINI
