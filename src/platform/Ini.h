#pragma once
// Stand-in for the system's profile-string functions on a platform without them.
// It edits the file line by line: every line a write does not touch (comments, blank
// lines, stray text, other sections, their order and their spelling) stays byte for byte,
// which a general INI library that re-serialises the file would not keep.

#include <optional>
#include <string>
#include <string_view>

namespace platform {

// Text without the white space (space, tab, CR, LF, vertical tab, form feed) around it, as
// INI names and values are read.
std::string_view TrimBlanks(std::string_view text);

// Section and key names match ignoring case, and only the first section of the name
// counts. A header is "[" and the name up to the first "]"; the rest of its line is
// ignored. The value is the text after the first "=" of the key's first line, with
// surrounding white space and then one pair of matching quotes (" or ') removed. A missing
// file, section or key, and a key line without "=", give `fallback`.
// Like a caller-supplied buffer of `bufferSize` characters, the result holds at most
// bufferSize - 1 characters.
std::string GetProfileString(const std::string& section, const std::string& key,
                             const std::string& fallback, const std::string& file,
                             std::size_t bufferSize);

// Writes key=value into the first section of the name. A missing file is created, never
// its folder; a missing section goes to the end of the file, a missing key to the end of
// its section; an existing key (with or without "=") changes in place; no value (nullopt)
// removes every line of the key from the section. Lines end in CR LF; reading accepts
// CR LF and LF. The file is replaced through a temporary file and a rename, through a link
// to wherever it leads. Returns 0 on failure (nothing changed), non-zero on success; a
// file that is there but cannot be read (not a regular file, too big) is never written.
int WriteProfileString(const std::string& section, const std::string& key,
                       const std::optional<std::string>& value, const std::string& file);

} // namespace platform
