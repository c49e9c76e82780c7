#pragma once
// Package search: the folder walk, the package names it yields and their display names.

#include <string>
#include <vector>

namespace modApps {

// "" stays ""; a path ending in the separator is returned unchanged; any other path
// gets the separator appended.
std::string AddTrailingBackslash(const std::string& path);

// The text before the last "_", with every "." replaced by a blank. A name without "_"
// has no such text; it is shown whole (dots replaced) so that the display list still gets
// exactly one row for it.
std::string PackageDisplayName(const std::string& name);

// Appends, depth first, every qualifying file below `folder`: each folder's own files
// before those of its sub-folders. Hidden and system entries, as the system marks them
// (platform::EntryKind), are skipped; links to folders are never entered; a
// folder that cannot be read is skipped and the walk goes on. `pattern` empty means every
// entry. This is the full walk; the search itself uses FindPackages.
void CollectFiles(std::vector<std::string>& files, const std::string& folder,
                  const std::string& pattern, bool includeSubfolders);

// The package name a collected path belongs to: the element directly below
// `packagesRoot`, or "" when the path is not below it.
std::string PackageOfPath(const std::string& packagesRoot, const std::string& path);

// Every entry directly below `packagesRoot` that holds, at any depth, at least one
// qualifying file as CollectFiles defines it (a plain file directly in the root counts
// for itself). The same names the full walk would give, but inside a package the walk
// stops at its first qualifying file. Sorted ascending ignoring case, de-duplicated
// ignoring case (the first in sorted order stays).
std::vector<std::string> FindPackages(const std::string& packagesRoot);

// Inserts `text` at its sorted place (ascending, ignoring case; after equal entries)
// and returns the index it took.
std::size_t SortedInsert(std::vector<std::string>& list, std::string text);

} // namespace modApps
