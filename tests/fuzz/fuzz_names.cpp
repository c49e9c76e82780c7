// Package names as they come from a folder listing or the hand-editable app list: the
// display name shown for them, and the check that keeps a name from leading a path out of
// its package folder. The seeds (corpus/fuzz_names) are the names every run checks first:
// ".", "..", either separator, a NUL, dots and underscores in odd places.

#include "FuzzSupport.h"
#include "catalogue/modApps.h"
#include "operations/StatusText.h"

#include <algorithm>
#include <filesystem>
#include <string>

namespace {

void Check(const std::string& name) {
    // Whatever precedes the publisher hash is shown, dots as blanks, and so is a whole name
    // that has no hash.
    std::string shown = name;
    std::replace(shown.begin(), shown.end(), '.', ' ');
    FUZZ_CHECK(modApps::PackageDisplayName(name + "_0a1b2c") == shown,
               "the display name is not the text before the last '_', dots as blanks");
    FUZZ_CHECK(name.find('_') != std::string::npos || modApps::PackageDisplayName(name) == shown,
               "a name without '_' is not shown whole");

    // A plain name is one whole path element below the root, which lexical normalising
    // leaves alone (so neither "." nor ".."), and holds neither the other platform's
    // separator nor a NUL.
    const std::filesystem::path below = std::filesystem::path("/r") / name;
    const bool oneElement = !name.empty() &&
                            name.find_first_of(std::string("\\\0", 2)) == std::string::npos &&
                            below.filename() == name && below.lexically_normal() == below;
    FUZZ_CHECK(operations::IsPlainFolderName(name) == oneElement,
               "IsPlainFolderName disagrees with one path element below the root");
}

} // namespace

FUZZ_TARGET(Check)
