// The walk below a trusted root that every tree operation goes through, and the folder
// creation before them. Apart from the operations, since this alone keeps each of them
// inside the tree it was given.
//
// Every name below a trusted root is opened from the opened folder above it with
// O_NOFOLLOW, and its mount identity (statx's mount id; the device where the kernel has
// none) is compared with the root's, so neither a link nor a mount, not even a bind mount
// of the same file system, is ever passed through. The walks hold one folder of each tree
// open, whatever the depth: they remember the device and inode of every folder above and
// climb back through "..", refusing to go on when it leads anywhere else.
#include "platform/posix/Tree.h"

#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <utility>

namespace platform::posix {

namespace {

timespec TimeOf(const statx_timestamp& t) {
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(t.tv_sec);
    ts.tv_nsec = static_cast<long>(t.tv_nsec);
    return ts;
}

} // namespace

// `dir`/`name` without following a link; `name` "" describes `dir` itself. 0 or errno.
int StatAt(int dir, const char* name, Node& node) {
    struct statx sx {};
    const int flags = AT_SYMLINK_NOFOLLOW | AT_STATX_SYNC_AS_STAT | (*name ? 0 : AT_EMPTY_PATH);
    if (::statx(dir, name, flags, STATX_BASIC_STATS | STATX_MNT_ID, &sx) != 0) {
        return errno;
    }
    node.dev = makedev(sx.stx_dev_major, sx.stx_dev_minor);
    node.ino = sx.stx_ino;
    node.mountKnown = (sx.stx_mask & STATX_MNT_ID) != 0;
    node.mount = sx.stx_mnt_id;
    node.mode = sx.stx_mode;
    node.uid = sx.stx_uid;
    node.gid = sx.stx_gid;
    node.size = static_cast<off_t>(sx.stx_size);
    node.blocks = static_cast<blkcnt_t>(sx.stx_blocks);
    node.atime = TimeOf(sx.stx_atime);
    node.mtime = TimeOf(sx.stx_mtime);
    node.ctime = TimeOf(sx.stx_ctime);
    node.links = sx.stx_nlink;
    return 0;
}

int StatFd(int fd, Node& node) {
    return StatAt(fd, "", node);
}

// The parent of the folder open as `dir`, checked to be `expected`, the folder the walk
// came down from. A folder moved elsewhere meanwhile leads somewhere else: ESTALE, and the
// walk stops there.
int Climb(int dir, const Node& expected, Fd& up) {
    up.Reset(::openat(dir, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    Node node;
    if (!up.Valid()) {
        return errno;
    }
    if (const int error = StatFd(up.Get(), node); error != 0) {
        return error;
    }
    return SameNode(node, expected) ? 0 : ESTALE;
}

// 0 when the folder open as `dir` is neither `target` nor anywhere below it, EINVAL when
// it is, another errno when that cannot be told. Climbs through ".." by descriptor, so no
// link or odd spelling in either path can hide the relation.
int CheckOutside(int dir, const Node& target) {
    Node cur;
    if (const int error = StatFd(dir, cur); error != 0) {
        return error;
    }
    Fd at;
    for (;;) {
        if (SameNode(cur, target)) {
            return EINVAL;
        }
        Fd up(::openat(at.Valid() ? at.Get() : dir, "..", kPathFlags));
        Node parent;
        if (!up.Valid()) {
            return errno;
        }
        if (const int error = StatFd(up.Get(), parent); error != 0) {
            return error;
        }
        if (SameNode(parent, cur)) {
            return 0; // the root is its own parent
        }
        cur = parent;
        at = std::move(up);
    }
}

// Opens `path.root`, however the system resolves it, then the first `depth` names below it
// one at a time, each a real folder on the root's mount; with `create`, a missing one is
// made first. 0 or errno (ELOOP or ENOTDIR for a link, EXDEV for a mount), and then
// `out.failed` says at which name.
int Reach(const Below& path, std::size_t depth, bool create, Reached& out) {
    out.failed = 0;
    if (path.root.empty()) {
        return ENOENT;
    }
    out.fd.Reset(::open(path.root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!out.fd.Valid()) {
        return errno;
    }
    if (const int error = StatFd(out.fd.Get(), out.root); error != 0) {
        return error;
    }
    out.node = out.root;
    for (std::size_t i = 0; i < depth && i < path.names.size(); ++i) {
        out.failed = i + 1;
        const std::string& name = path.names[i];
        if (!IsPlainName(name)) {
            return EINVAL;
        }
        if (create && ::mkdirat(out.fd.Get(), name.c_str(), 0777) == 0) {
            if (const int error = SyncFolder(out.fd.Get()); error != 0) {
                return error;
            }
        } else if (create && errno != EEXIST) {
            return errno;
        }
        Fd next(::openat(out.fd.Get(), name.c_str(), kPathFlags));
        if (!next.Valid()) {
            return errno;
        }
        if (const int error = StatFd(next.Get(), out.node); error != 0) {
            return error;
        }
        if (!SameMount(out.node, out.root)) {
            return EXDEV;
        }
        out.fd = std::move(next);
    }
    return 0;
}

// Puts the entries of the folder `dir` (a bare reference will do) on the disk: what was
// made, renamed or moved in it survives a power cut once this returns 0. A bare reference
// cannot be flushed, so the folder is opened again. A folder this user may change but not
// read cannot be opened to flush it, and a file system without folder flushes says EINVAL:
// the system then writes the entries in its own time, and the work that wanted them on the
// disk is not failed for what it cannot change.
int SyncFolder(int dir) {
    Fd folder(::openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder.Valid()) {
        return errno == EACCES ? 0 : errno;
    }
    return ::fsync(folder.Get()) == 0 || errno == EINVAL ? 0 : errno;
}

} // namespace platform::posix

namespace platform {

using namespace posix;

std::optional<FolderFacts> InspectFolder(const Below& path) {
    Reached at;
    if (Reach(path, path.names.size(), false, at) != 0) {
        return std::nullopt;
    }
    return FolderFacts{std::to_string(at.node.ino),
                       static_cast<std::int64_t>(at.node.mtime.tv_sec)};
}

bool MakeFolder(const Below& path) {
    Reached parent;
    if (path.names.empty() || Reach(path, path.names.size() - 1, false, parent) != 0) {
        return false;
    }
    const std::string& name = path.names.back();
    Node node;
    if (!IsPlainName(name)) {
        return false;
    }
    if (::mkdirat(parent.fd.Get(), name.c_str(), 0777) == 0) {
        if (SyncFolder(parent.fd.Get()) != 0) {
            return false;
        }
    } else if (errno != EEXIST) {
        return false;
    }
    return StatAt(parent.fd.Get(), name.c_str(), node) == 0 && S_ISDIR(node.mode) &&
           SameMount(node, parent.node);
}

bool MakeFolderChain(const Below& path) {
    CreateFolderChain(path.root);
    Reached end;
    return Reach(path, path.names.size(), true, end) == 0;
}

} // namespace platform
