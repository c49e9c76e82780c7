#include "catalogue/modApps.h"

#include "common/CaseCompare.h"
#include "common/modGlobal.h"
#include "platform/Platform.h"

#include <algorithm>

namespace modApps {

using platform::EntryKind;
using platform::kSep;

namespace {

constexpr const char* kSettingsFolder = "Settings";

// True as soon as one qualifying file turns up anywhere below `folder` (which ends in
// the separator). Only the folders still waiting to be searched are held, never a file
// path, and an explicit stack keeps very deep trees off the call stack.
//
// The order of the search cannot change the answer, only its cost. Each folder's own
// files are looked at first, then its sub-folders depth first in listing order, with one
// exception: the package's Settings folder goes first. The system writes settings.dat
// there for every package that has run, so most searches end after two listings, even
// on file systems that happen to list a deep LocalCache or AC ahead of it.
bool HoldsQualifyingFile(const std::string& folder, bool& unreadable) {
    std::vector<std::string> pending{folder};
    for (bool atTop = true; !pending.empty(); atTop = false) {
        const std::string current = std::move(pending.back());
        pending.pop_back();
        const std::size_t firstChild = pending.size();
        bool found = false;
        // An unreadable folder simply adds nothing: its siblings are still searched.
        const bool listed =
            platform::ListFolder(current, [&](std::string_view name, EntryKind kind) {
                if (kind == EntryKind::File) {
                    found = true;
                    return false;
                }
                if (kind == EntryKind::Folder) {
                    std::string child = current;
                    child.append(name);
                    child.push_back(kSep);
                    pending.push_back(std::move(child));
                }
                return true;
            });
        unreadable = unreadable || (atTop && !listed);
        if (found) {
            return true;
        }
        const auto children = pending.begin() + static_cast<std::ptrdiff_t>(firstChild);
        std::reverse(children, pending.end());
        if (atTop) {
            const std::string settings = folder + kSettingsFolder + kSep;
            const auto at = std::find_if(children, pending.end(), [&](const std::string& path) {
                return modGlobal::EqualIgnoringCase(path, settings);
            });
            if (at != pending.end()) {
                std::rotate(at, at + 1, pending.end()); // the back is searched next
            }
        }
    }
    return false;
}

} // namespace

std::string AddTrailingBackslash(const std::string& path) {
    if (path.empty() || path.back() == kSep) {
        return path;
    }
    return path + kSep;
}

std::string PackageDisplayName(const std::string& name) {
    // The part after the last "_" is the publisher hash; an earlier "_" belongs to the
    // name itself ("My_Tool.App_xyz" shows as "My_Tool App").
    const std::size_t cut = name.rfind('_');
    std::string shown = cut == std::string::npos ? name : name.substr(0, cut);
    std::replace(shown.begin(), shown.end(), '.', ' ');
    return shown;
}

std::vector<std::string> FindPackages(const std::string& packagesRoot) {
    std::vector<Skipped> skipped;
    return FindPackages(packagesRoot, skipped);
}

std::vector<std::string> FindPackages(const std::string& packagesRoot,
                                      std::vector<Skipped>& skipped) {
    const std::string root = AddTrailingBackslash(packagesRoot);
    std::vector<std::string> rootFiles;
    std::vector<std::string> rootFolders;
    platform::ListFolder(root, [&](std::string_view name, EntryKind kind) {
        if (kind == EntryKind::File) {
            rootFiles.emplace_back(name);
        } else if (kind == EntryKind::Folder) {
            rootFolders.emplace_back(name);
        } else if (kind != EntryKind::Hidden) {
            // "Other" holds a link that leads nowhere as well as a pipe or a device.
            const bool link =
                kind == EntryKind::LinkToFolder ||
                platform::StateOf(root + std::string(name)) == platform::PathState::Link;
            skipped.push_back({std::string(name), link ? LeftOut::Link : LeftOut::NotAFolder});
        }
        return true;
    });

    // The candidates line up in the full walk's order: the root's own files first, then
    // the folders as listed. The stable sort below then keeps, among names equal but for
    // case, the one the full walk would have met (and inserted) first, and that is the
    // one de-duplication keeps.
    std::vector<std::string> found = std::move(rootFiles);
    for (auto& name : rootFolders) {
        bool unreadable = false;
        if (HoldsQualifyingFile(root + name + kSep, unreadable)) {
            found.push_back(std::move(name));
        } else if (unreadable) {
            skipped.push_back({std::move(name), LeftOut::Unreadable});
        }
    }
    std::stable_sort(found.begin(), found.end(), modGlobal::LessIgnoringCase);
    std::stable_sort(skipped.begin(), skipped.end(), [](const Skipped& a, const Skipped& b) {
        return modGlobal::LessIgnoringCase(a.name, b.name);
    });
    modGlobal::RemoveDuplicateEntries(found);
    return found;
}

} // namespace modApps
