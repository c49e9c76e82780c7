#pragma once
// The exact texts of an operation run: header, per-app lines, statistics block, log file.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace operations {

inline constexpr char kOk[] = "<OK>";
inline constexpr char kError[] = "<Error>";
inline constexpr char kRuleOpen[] = "====================== ";     // 22 "=" and a blank
inline constexpr char kRuleClose[] = " ========================="; // a blank and 25 "="
inline constexpr char kClosingRule[] = "=====================================================";

// Operation words, with the blanks that frame them in a status line.
inline constexpr char kWordBackup[] = " Backup ";
inline constexpr char kWordRestore[] = " Restore ";
inline constexpr char kWordReset[] = " Reset ";
inline constexpr char kWordHardReset[] = " Hard Reset ";
inline constexpr char kWordClearAppCache[] = " Clear App Cache ";

// rule + title literal + long date + rule, as one line.
std::string HeaderLine(const std::string& titleLiteral, const std::string& longDate);

// The statistics rule, the count line (label immediately followed by the count text)
// and the closing rule.
std::vector<std::string> StatisticsLines(const std::string& countLabel,
                                         const std::string& countText);

// app + " |" + word + "[from] " + source + " [to] " + destination + "  " + result.
std::string CopyLine(const std::string& appText, const std::string& word, const std::string& source,
                     const std::string& destination, bool ok);

// app + " |" + word + path + " " + result.
std::string DeleteLine(const std::string& appText, const std::string& word, const std::string& path,
                       bool ok);

// time + " " + text.
std::string StampedLine(const std::string& timeOfDay, const std::string& text);

// "Log saved to " + backupDir + " " + result.
std::string LogSavedLine(const std::string& backupDir, bool ok);

// The line after the statistics of a run that ended early: the host's word for the stop,
// capitalised, and the apps it left undone of those the run was given ("Cancelled: 2 of 5
// apps left undone.").
std::string StoppedLine(std::string reason, std::size_t undone, std::size_t apps);

// True when `name` can stand as one folder below PackagesRoot: not empty, not "." or
// "..", no separator of either platform and no NUL. Names from the hand-editable app list
// pass through here before any path is built from them, so that no operation can reach
// PackagesRoot itself or anything outside one package folder.
bool IsPlainFolderName(const std::string& name);

// The length of the valid UTF-8 character at `at` of `text`, or 0 when the byte there
// starts none (an overlong form, a surrogate or a code point above U+10FFFF starts none).
std::size_t Utf8CharacterLength(std::string_view text, std::size_t at);

// `bytes` with each byte that is not part of a valid UTF-8 character, and each that
// `alsoEscaped` picks, written "/xHH" (two upper-case hex digits from kHexDigits).
inline constexpr char kHexDigits[] = "0123456789ABCDEF";
std::string EscapeBytes(std::string_view bytes, bool (*alsoEscaped)(unsigned char));

// `bytes` as text every reader takes on one line: valid UTF-8 as it is, any other byte and
// every control character as "/xHH" (two upper-case hex digits), the form the command line
// gives a name that is not UTF-8. For the names in a reason, which goes to JSON, a terminal,
// the window and the history log alike.
std::string ReadableText(std::string_view bytes);

// Converts mixed-case prompt items to upper case (ASCII letters only).
std::string UpperCase(std::string text);

} // namespace operations
