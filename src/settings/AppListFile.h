#pragma once
// The detected-apps file: one package folder name per line, every line ending in CR LF.

#include <optional>
#include <string>
#include <vector>

namespace settings {

// The file's content for these names, in the given order.
std::string AppListContent(const std::vector<std::string>& names);

// Writes the names through a temporary file and a rename. Never creates the folder;
// false when nothing could be written.
bool WriteAppListFile(const std::string& path, const std::vector<std::string>& names);

// The lines of the file in file order, each without its CR LF / LF; a last line without
// a line end counts like any other. nullopt when the file is missing, hidden, not a plain
// file, or cannot be read.
std::optional<std::vector<std::string>> ReadAppListFile(const std::string& path);

} // namespace settings
