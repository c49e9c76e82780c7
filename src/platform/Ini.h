#pragma once
// Stand-in for the system's profile-string functions on a platform without them.
// It edits the file line by line: every line a write does not touch (comments, blank
// lines, lines without "=", other sections, their order and their spelling) stays byte
// for byte, which a general INI library that re-serialises the file would not keep.

#include <optional>
#include <string>
#include <string_view>

namespace platform {

// Text without the blanks (spaces and tabs) around it, as INI names and values are read.
std::string_view TrimBlanks(std::string_view text);

// Section and key names match ignoring case; the value is the text after the first "="
// with surrounding blanks removed. A missing file, section or key gives `fallback`.
// Like a caller-supplied buffer of `bufferSize` characters, the result holds at most
// bufferSize - 1 characters.
std::string GetProfileString(const std::string& section, const std::string& key,
                             const std::string& fallback, const std::string& file,
                             std::size_t bufferSize);

// Writes key=value into the section. A missing file is created, never its folder; a
// missing section goes to the end of the file, a missing key to the end of its section;
// an existing key changes in place; no value (nullopt) removes the key. Lines end in
// CR LF; reading accepts CR LF and LF. The file is replaced through a temporary file and
// a rename. Returns 0 on failure (nothing changed), non-zero on success.
int WriteProfileString(const std::string& section, const std::string& key,
                       const std::optional<std::string>& value, const std::string& file);

} // namespace platform
