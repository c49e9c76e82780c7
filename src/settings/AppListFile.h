#pragma once
// The detected-apps file: one package folder name per line, every line ending in CR LF.

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace settings {

// The most lines a list file may have: the list boxes count their rows in 16 bits. A
// longer file is beyond what the lists hold and counts as damaged, like one too big.
inline constexpr std::size_t kMaxAppListLines = 32767;

// The file's content for these names, in the given order.
std::string AppListContent(const std::vector<std::string>& names);

// Writes the names through a temporary file and a rename, through a link to wherever it
// leads. Never creates the folder, never replaces a file ReadAppListFile refuses (or
// anything else but a file); false when nothing was written.
bool WriteAppListFile(const std::string& path, const std::vector<std::string>& names);

// The lines of the file in file order, each without its CR LF / LF; a last line without
// a line end counts like any other. nullopt when the file is missing, hidden, not a plain
// file, too big or too long (see above), or cannot be read.
std::optional<std::vector<std::string>> ReadAppListFile(const std::string& path);

} // namespace settings
