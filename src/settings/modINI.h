#pragma once
// One INI value at a time, and the conversions the settings routines apply to values.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace modINI {

inline constexpr char kSection[] = "UA";

// The value of `key`, "" when absent; at most 254 characters, like the fixed buffer the
// value has always been read through.
std::string ReadIni(const std::string& file, const std::string& section, const std::string& key);

// Writes key=value; nullopt removes the key. Non-zero on success, 0 on failure.
long WriteIni(const std::string& file, const std::string& section, const std::string& key,
              const std::optional<std::string>& value);

// The whole value of `key`, or `fallback`. Read whole on purpose: a cut value loses the
// ticks of every app past the cut.
std::string GetIniString(const std::string& section, const std::string& key,
                         const std::string& fallback, const std::string& file);

void SetIniString(const std::string& section, const std::string& key, const std::string& value,
                  const std::string& file);

// Text to a 16-bit signed integer: the nearest whole number, halves to even. nullopt for
// empty text, text that is not a number, or a number outside -32768..32767.
std::optional<std::int16_t> ToInt16(const std::string& text);

// The check-box state stored under "Settings": 0, 1 or 2; nullopt for anything else.
std::optional<int> ToCheckState(const std::string& text);

// "Apps" split at every ";": per entry, the tick it gives, or nullopt for an entry to skip
// (neither a number nor True/False). An empty value gives no entries.
std::vector<std::optional<bool>> ParseAppChecks(const std::string& value);

// "-1" for a tick, "0" for none, joined by ";"; empty for no rows.
std::string JoinAppChecks(const std::vector<bool>& ticks);

// A twip value as a plain decimal number: no thousands separator, no fixed decimals,
// "-" for negatives (1200 -> "1200", 1234.5 -> "1234.5").
std::string FormatTwips(double value);

} // namespace modINI
