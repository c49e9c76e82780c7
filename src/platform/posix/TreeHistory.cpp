// Where the folder a copy replaces goes when it is kept (the app's History) rather than
// removed: on the same mount it changes places with the new copy by renames, on another
// it is first copied there exactly. Apart from the plain swap (TreeSwap.cpp), since only
// a copy that keeps the old folder takes this longer way.
#include "platform/posix/Tree.h"

#include <cerrno>
#include <cstdio>
#include <string>
#include <unistd.h>
#include <vector>

namespace platform::posix {

namespace {

// The renames of the same-mount way (see PlaceKeeping), `into` being the keeping folder.
int SwapIntoKeeping(int dir, const std::string& name, const Node& oldNode, int into,
                    std::string& stage) {
    const std::string swap = "." + name + ".dittoly-" + std::to_string(::getpid()) + "-" +
                             std::to_string(oldNode.ino) + ".swap";
    if (const int error = MoveNoReplace(dir, stage, into, swap); error != 0) {
        return error;
    }
    if (::renameat2(into, swap.c_str(), dir, name.c_str(), RENAME_EXCHANGE) == 0) {
        stage.clear();
        return MoveNoReplace(into, swap, into, name); // else the next sweep there names it
    }
    const int error = errno;
    if (::renameat(into, swap.c_str(), dir, stage.c_str()) != 0 || error != EINVAL) {
        return error;
    }
    const std::string ready = stage.substr(0, stage.size() - 3) + "ready";
    if (::renameat(dir, stage.c_str(), dir, ready.c_str()) != 0) {
        return errno;
    }
    stage = ready;
    if (const int moved = MoveNoReplace(dir, name, into, name); moved != 0) {
        return moved;
    }
    // The old copy is kept now: should the last step fail, the complete one waits under
    // its own name for the next copy to put it in place.
    stage.clear();
    return MoveNoReplace(dir, ready, dir, name);
}

} // namespace

// Puts the complete copy at `stage` in place of the old folder `name` (`oldNode`), which
// moves to `keep`/<name>. At no moment is `name` missing, and a kill leaves nothing that
// the next run cannot tell apart: the copy moves into the keeping folder under a name that
// carries the old folder's inode, changes places with the old folder in one step, and the
// old one then takes its name there (see "swap" in TreeSwap.cpp). A file system that
// cannot exchange two names gets the copy marked complete ("ready") beside the old one,
// which moves away before the copy takes its place. On another mount the old folder is
// copied there first, then replaced as usual. `stage` is cleared once what it named is
// elsewhere. The keeping folder's new entries are on the disk before it returns; `dir`'s
// are the caller's to flush, as after any swap.
int PlaceKeeping(int dir, const Node& home, const Below& old, const Node& oldNode,
                 const Below& keep, bool exclusive, std::string& stage, std::string& leaving,
                 FailedAt* where) {
    const std::string& name = old.names.back();
    Reached kept;
    CreateFolderChain(keep.root);
    if (const int error = Reach(keep, keep.names.size(), true, kept); error != 0) {
        Tell(where, keep, kept.failed);
        return error;
    }
    if (!SameMount(kept.node, home)) {
        CopyOptions options;
        options.exclusive = exclusive;
        if (const int error = CopyTree(old, keep, options, where); error != 0) {
            return error;
        }
        const int error = PutInPlace(dir, stage, name, leaving);
        if (error != 0) {
            Tell(where, old, old.names.size());
        }
        return error;
    }
    int error = SwapIntoKeeping(dir, name, oldNode, kept.fd.Get(), stage);
    const int synced = SyncFolder(kept.fd.Get());
    if (error != 0 || synced != 0) {
        // Its renames end in the keeping folder: a name clash is at the kept name there,
        // anything else is named by that folder.
        Tell(where, keep, keep.names.size(),
             error == EEXIST ? std::vector{name} : std::vector<std::string>{});
        error = error != 0 ? error : synced;
    }
    return error;
}

} // namespace platform::posix
