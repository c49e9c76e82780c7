// The whole-folder delete, and the one that first hides the folder under a staging name
// so that it is never seen half removed. Apart from the copy, though the copy and the
// sweeps remove with the same Remover: what a removal may touch is decided here alone.
#include "platform/posix/Tree.h"

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace platform::posix {

// Opens `parent`/`name` as a folder to empty, on the mount of `home` only. To an ordinary
// user a read-only or unreadable folder of their own is in the way of its removal, as it is
// not for root: it gets its owner's bits first, since it goes anyway.
int Remover::Open(int parent, const std::string& name, const Node& home, Fd& fd, Node& node) {
    fd.Reset(::openat(parent, name.c_str(), kDirFlags));
    if (!fd.Valid()) {
        const int error = errno;
        if (error != EACCES || root_) {
            return error;
        }
        // Reached bare, which needs no permission; a bare reference takes no fchmod, but
        // its /proc name leads to that very folder.
        Fd bare(::openat(parent, name.c_str(), kPathFlags));
        const std::string self = "/proc/self/fd/" + std::to_string(bare.Get());
        if (!bare.Valid() || StatFd(bare.Get(), node) != 0 || !SameMount(node, home) ||
            ::chmod(self.c_str(), (node.mode & 07777) | S_IRWXU) != 0) {
            return error;
        }
        fd.Reset(::openat(parent, name.c_str(), kDirFlags));
        if (!fd.Valid()) {
            return errno;
        }
    }
    if (const int error = StatFd(fd.Get(), node); error != 0) {
        return error;
    }
    if (!SameMount(node, home)) {
        return EXDEV;
    }
    if (!root_ && (node.mode & S_IRWXU) != S_IRWXU) {
        ::fchmod(fd.Get(), (node.mode & 07777) | S_IRWXU); // what stays then is reported
    }
    return 0;
}

// Removes every entry of `dir` that is not a folder and lists the folders.
void Remover::Empty(int dir, Level& level) {
    const int error = ForEachEntry(dir, [&](const char* name, unsigned char type) {
        if (type == DT_DIR) {
            level.folders.emplace_back(name);
        } else if (::unlinkat(dir, name, 0) != 0 && errno != ENOENT) {
            if (errno == EISDIR) {
                level.folders.emplace_back(name); // untyped listing
            } else {
                Fail(errno, &level);
            }
        } else if (progress_ != nullptr) {
            progress_->Advance(++files_, 0); // a removal goes on whatever the answer
        }
        return true;
    });
    if (error != 0) {
        Fail(error, &level);
    }
}

int Remover::Folder(int parent, const std::string& name, const Node& home) {
    Fd cur;
    Node node;
    if (const int error = Open(parent, name, home, cur, node); error != 0) {
        return error;
    }
    std::vector<Level> stack(1);
    stack.back().node = node;
    stack.back().name = name;
    Empty(cur.Get(), stack.back());
    while (!stack.empty()) {
        Level& level = stack.back();
        if (level.next < level.folders.size()) {
            const std::string child = level.folders[level.next++];
            Fd fd;
            const int error = Open(cur.Get(), child, home, fd, node);
            if (error == ENOTDIR || error == ELOOP) { // no longer a folder: goes as a name
                if (::unlinkat(cur.Get(), child.c_str(), 0) != 0 && errno != ENOENT) {
                    Fail(errno, &level);
                }
            } else if (error != 0) {
                if (error != ENOENT) {
                    Fail(error, &level); // a mount inside is left alone, and reported
                }
            } else {
                stack.emplace_back().node = node;
                stack.back().name = child;
                cur = std::move(fd);
                Empty(cur.Get(), stack.back());
            }
            continue;
        }
        // All it held is gone, or could not go: now the folder itself.
        Level done = std::move(level);
        stack.pop_back();
        Fd up;
        if (!stack.empty()) {
            if (const int error = Climb(cur.Get(), stack.back().node, up); error != 0) {
                Fail(error, nullptr);
                return first_;
            }
        }
        cur.Reset();
        const int at = stack.empty() ? parent : up.Get();
        if (::unlinkat(at, done.name.c_str(), AT_REMOVEDIR) != 0) {
            const int error = errno;
            // Something new appeared in it meanwhile (an app still running): another pass.
            if ((error == ENOTEMPTY || error == EEXIST) && !done.failed && done.pass < 2 &&
                Open(at, done.name, home, cur, node) == 0 && SameNode(node, done.node)) {
                ++done.pass;
                done.folders.clear();
                done.next = 0;
                stack.push_back(std::move(done));
                Empty(cur.Get(), stack.back());
                continue;
            }
            Fail(error, stack.empty() ? nullptr : &stack.back());
        }
        cur = std::move(up);
    }
    return first_;
}

} // namespace platform::posix

namespace platform {

using namespace posix;

int RemoveTree(const Below& path, TreeProgress* progress) {
    if (path.names.empty()) {
        return EINVAL; // never the root itself
    }
    Reached parent;
    if (const int error = Reach(path, path.names.size() - 1, false, parent); error != 0) {
        return error;
    }
    const std::string& name = path.names.back();
    Node node;
    if (!IsPlainName(name)) {
        return EINVAL;
    }
    if (const int error = StatAt(parent.fd.Get(), name.c_str(), node); error != 0) {
        return error; // a path that does not exist is a failure
    }
    if (S_ISLNK(node.mode)) {
        return ELOOP; // the link and what it leads to both stay
    }
    if (!SameMount(node, parent.node)) {
        return EXDEV; // a mount point is neither emptied nor removed
    }
    if (!S_ISDIR(node.mode)) {
        return ::unlinkat(parent.fd.Get(), name.c_str(), 0) == 0 ? 0 : errno;
    }
    return Remover(progress).Folder(parent.fd.Get(), name, parent.node);
}

int DiscardTree(const Below& path, bool exclusive) {
    Reached parent;
    if (path.names.empty() || !IsPlainName(path.names.back()) || !StageFits(path.names.back())) {
        return EINVAL;
    }
    if (const int error = Reach(path, path.names.size() - 1, false, parent); error != 0) {
        return error;
    }
    const int dir = parent.fd.Get();
    const std::string& name = path.names.back();
    Sweep(dir, parent.node, exclusive, [](const Leftover& left) { return left.end == "gone"; });
    Node node;
    if (const int error = StatAt(dir, name.c_str(), node); error != 0) {
        return error;
    }
    if (!S_ISDIR(node.mode) || !SameMount(node, parent.node)) {
        return S_ISLNK(node.mode) ? ELOOP : S_ISDIR(node.mode) ? EXDEV : ENOTDIR;
    }
    for (int n = 0; n < 100; ++n) {
        const std::string gone = StageName(name, n, "gone");
        const int error = MoveNoReplace(dir, name, dir, gone);
        if (error == 0) {
            return Remover().Folder(dir, gone, parent.node);
        }
        if (error != EEXIST) {
            return error;
        }
    }
    return EEXIST;
}

} // namespace platform
