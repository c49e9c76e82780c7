// Package names as they come from a folder listing or the hand-editable app list: the
// display name shown for them, and the check that keeps a name from leading a path out of
// its package folder.

#include "FuzzSupport.h"
#include "catalogue/modApps.h"
#include "operations/StatusText.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

namespace {

// The same rule as IsPlainFolderName, said differently: a name that is a single path
// element of its own and not one of the two that point at folders already there.
bool PlainByOtherMeans(const std::string& name) {
    const std::string forbidden{'/', '\\', '\0'};
    return name != "" && name != "." && name != ".." &&
           name.find_first_of(forbidden) == std::string::npos;
}

void CheckDisplayName(const std::string& name) {
    const std::string shown = modApps::PackageDisplayName(name);
    FUZZ_CHECK(shown.size() <= name.size(), "the display name is longer than the name");
    const std::size_t cut = name.rfind('_');
    if (cut != std::string::npos) {
        FUZZ_CHECK(shown.size() == cut, "the display name does not end at the last '_'");
    } else {
        FUZZ_CHECK(shown.size() == name.size(), "a name without '_' was not shown whole");
    }
    for (std::size_t i = 0; i < shown.size(); ++i) {
        FUZZ_CHECK(shown[i] == (name[i] == '.' ? ' ' : name[i]),
                   "the display name is not the name with dots as blanks");
    }
}

void CheckFolderName(const std::string& name) {
    const bool plain = operations::IsPlainFolderName(name);
    FUZZ_CHECK(plain == PlainByOtherMeans(name), "IsPlainFolderName disagrees with its rule");
    if (!plain) {
        return;
    }
    // Lexically, a plain name below a root stays one level below it, never at or above it.
    const std::filesystem::path root("/r");
    FUZZ_CHECK((root / name).lexically_normal().parent_path() == root,
               "a plain name leaves the package root");
    FUZZ_CHECK((std::filesystem::path("/r/") / name).lexically_normal().parent_path() == root,
               "a plain name leaves the package root given with a separator");
    FUZZ_CHECK((root / name).filename() == name, "a plain name is not one path element");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string name(reinterpret_cast<const char*>(data), size);
    CheckDisplayName(name);
    CheckFolderName(name);
    return 0;
}
