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
                Fail(errno, &level, name);
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
    stack_.clear();
    if (const int error = Open(parent, name, home, cur, node); error != 0) {
        Fail(error, nullptr, name.c_str());
        return error;
    }
    std::vector<Level>& stack = stack_;
    stack.assign(1, Level{});
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
                    Fail(errno, &level, child.c_str());
                }
            } else if (error != 0) {
                if (error != ENOENT) {
                    Fail(error, &level, child.c_str()); // a mount inside is left alone, reported
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
                Fail(error, nullptr, done.name.c_str());
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
            Fail(error, stack.empty() ? nullptr : &stack.back(), done.name.c_str());
        }
        cur = std::move(up);
    }
    return first_;
}

} // namespace platform::posix

namespace platform {

using namespace posix;

int RemoveTree(const Below& path, TreeProgress* progress, FailedAt* where) {
    if (path.names.empty()) {
        return EINVAL; // never the root itself
    }
    const std::size_t above = path.names.size() - 1;
    Reached parent;
    if (const int error = Reach(path, above, false, parent); error != 0) {
        Tell(where, path, parent.failed);
        return error;
    }
    const std::string& name = path.names.back();
    Node node;
    if (!IsPlainName(name)) {
        return EINVAL;
    }
    int error = StatAt(parent.fd.Get(), name.c_str(), node); // missing is a failure
    if (error == 0 && S_ISLNK(node.mode)) {
        error = ELOOP; // the link and what it leads to both stay
    } else if (error == 0 && !SameMount(node, parent.node)) {
        error = EXDEV; // a mount point is neither emptied nor removed
    } else if (error == 0 && !S_ISDIR(node.mode)) {
        error = ::unlinkat(parent.fd.Get(), name.c_str(), 0) == 0 ? 0 : errno;
    } else if (error == 0) {
        Remover remover(progress);
        error = remover.Folder(parent.fd.Get(), name, parent.node);
        if (error != 0) {
            Tell(where, path, above, remover.failedAt);
        }
        return error;
    }
    if (error != 0) {
        Tell(where, path, path.names.size());
    }
    return error;
}

int DiscardTree(const Below& path, bool exclusive, FailedAt* where) {
    Reached parent;
    if (path.names.empty() || !IsPlainName(path.names.back()) || !StageFits(path.names.back())) {
        return EINVAL;
    }
    const std::size_t above = path.names.size() - 1;
    if (const int error = Reach(path, above, false, parent); error != 0) {
        Tell(where, path, parent.failed);
        return error;
    }
    const int dir = parent.fd.Get();
    const std::string& name = path.names.back();
    Sweep(dir, parent.node, exclusive, [](const Leftover& left) { return left.end == "gone"; });
    Node node;
    int error = StatAt(dir, name.c_str(), node);
    if (error == 0 && (!S_ISDIR(node.mode) || !SameMount(node, parent.node))) {
        error = S_ISLNK(node.mode) ? ELOOP : S_ISDIR(node.mode) ? EXDEV : ENOTDIR;
    }
    for (int n = 0; error == 0 && n < 100; ++n) {
        const std::string gone = StageName(name, n, "gone");
        error = MoveNoReplace(dir, name, dir, gone);
        if (error == 0) {
            Remover remover;
            error = remover.Folder(dir, gone, parent.node);
            if (error != 0) {
                // Named as the user knew it, not by the name it was hidden under.
                remover.failedAt.front() = name;
                Tell(where, path, above, remover.failedAt);
            }
            return error;
        }
        error = error == EEXIST && n < 99 ? 0 : error;
    }
    Tell(where, path, path.names.size());
    return error;
}

} // namespace platform
