#pragma once
// Package search: the folder walk, the package names it yields and their display names.

#include <cstdint>
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

// Every entry directly below `packagesRoot` that holds, at any depth, at least one
// qualifying file: a file or a link to one, neither hidden nor system, reached without
// entering a link to a folder (a plain file directly in the root counts for itself). A
// folder that cannot be read is passed over and the search goes on. The same names a
// full walk collecting every file would give, but inside a package the search stops at
// its first qualifying file. Sorted ascending ignoring case, de-duplicated
// ignoring case (the first in sorted order stays).
std::vector<std::string> FindPackages(const std::string& packagesRoot);

// An entry directly below the packages root that the search passes over although it is
// not hidden, and why: a link (never followed, to a folder or leading nowhere), something
// that is neither folder nor file (a pipe, a device), or a folder that cannot be opened.
// What the search finds stays the same; a caller may say what it left out.
enum class LeftOut : std::uint8_t { Link, NotAFolder, Unreadable };
struct Skipped {
    std::string name;
    LeftOut why;
};
std::vector<std::string> FindPackages(const std::string& packagesRoot,
                                      std::vector<Skipped>& skipped);

} // namespace modApps
