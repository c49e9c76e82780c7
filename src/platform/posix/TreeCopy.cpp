// The whole-folder copy behind a backup or restore: what is copied and what is left out,
// with its metadata, how the copy is built beside the old one, and how it is on the disk
// before it is published. Apart from the swap that then puts it in place (TreeSwap.cpp) and
// the moves of the folder it replaces (TreeHistory.cpp).
#include "platform/posix/Copier.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace platform::posix {

void Copier::Tree(Fd src, const Node& srcNode, Fd dst, const Node& dstNode, int stage, Fd old,
                  const Node& oldNode) {
    home_ = srcNode;
    stage_ = stage;
    old_ = std::move(old);
    oldKnown_ = old_.Valid();
    std::vector<Level>& stack = stack_;
    stack.resize(1);
    stack.back().src = srcNode;
    stack.back().dst = dstNode;
    stack.back().old = oldNode;
    Fill(src.Get(), dst.Get(), stack.back());
    while (failed == 0 && !stack.empty()) {
        Level& level = stack.back();
        if (level.next < level.folders.size()) {
            const std::string name = level.folders[level.next++];
            Fd childSrc(::openat(src.Get(), name.c_str(), kDirFlags));
            Node childNode;
            if (!childSrc.Valid()) {
                NotOpened(errno, name.c_str());
            } else if (const int error = StatFd(childSrc.Get(), childNode); error != 0) {
                Fail(error, name.c_str());
            } else if (!SameMount(childNode, home_)) {
                Skip(EXDEV, name.c_str());
            } else if (::mkdirat(dst.Get(), name.c_str(), S_IRWXU) != 0) {
                Fail(errno, name.c_str(), true); // private while it is filled; mode comes last
            } else {
                Fd childDst(::openat(dst.Get(), name.c_str(), kDirFlags));
                stack.emplace_back().src = childNode;
                stack.back().name = name;
                if (!childDst.Valid() || StatFd(childDst.Get(), stack.back().dst) != 0) {
                    Fail(errno, nullptr, true);
                    break;
                }
                Descend(name);
                src = std::move(childSrc);
                dst = std::move(childDst);
                Fill(src.Get(), dst.Get(), stack.back());
            }
            continue;
        }
        const Node folder = level.src;
        std::string name = std::move(level.name); // for a failure below, once it is popped
        Ascend();
        stack.pop_back();
        Fd upSrc;
        Fd upDst;
        int error = Attributes(src.Get(), dst.Get(), folder);
        if (error == 0 && !stack.empty()) {
            error = Climb(src.Get(), stack.back().src, upSrc);
            error = error != 0 ? error : Climb(dst.Get(), stack.back().dst, upDst);
        }
        // Last: the mode may close the folder to us, and every entry made in it moved its
        // modification time.
        error = error != 0 ? error : ModeAndTimes(dst.Get(), folder);
        if (error != 0) {
            Fail(error, name.c_str(), true);
        }
        src = std::move(upSrc);
        dst = std::move(upDst);
    }
}

// Copies the files of `src` into `dst` and lists its folders for the walk.
void Copier::Fill(int src, int dst, Level& level) {
    const int error = ForEachEntry(src, [&](const char* name, unsigned char type) {
        if (type == DT_UNKNOWN) {
            struct stat st {};
            if (::fstatat(src, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
                NotOpened(errno, name);
                return failed == 0;
            }
            type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISREG(st.st_mode) ? DT_REG : DT_CHR;
        }
        if (type == DT_DIR) {
            level.folders.emplace_back(name);
        } else if (type == DT_REG) {
            File(src, dst, name);
        } else {
            // Links, devices, pipes and sockets have no place in a copy of app data.
            Skip(type == DT_LNK ? ELOOP : EINVAL, name);
        }
        return failed == 0;
    });
    if (error != 0) {
        Fail(error, nullptr);
    }
}

void Copier::File(int srcDir, int dstDir, const char* name) {
    if (options_.linkUnchanged && oldKnown_ && oldLevel_ + 1 == stack_.size() &&
        FromOld(srcDir, dstDir, name)) {
        return;
    }
    // O_NONBLOCK: should the entry have become a pipe since the listing, the open must
    // not hang; the type check below then turns it away.
    Fd in(::openat(srcDir, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    Node node;
    if (!in.Valid()) {
        NotOpened(errno, name);
        return;
    }
    if (const int error = StatFd(in.Get(), node); error != 0) {
        Fail(error, name);
        return;
    }
    if (!S_ISREG(node.mode) || !SameMount(node, home_)) {
        Skip(S_ISREG(node.mode) ? EXDEV : EINVAL, name);
        return;
    }
    if (node.links > 1 && SecondName(node, dstDir, name)) {
        return;
    }
    // Always a new file in a new folder: nothing of an older copy's file, its attributes
    // or its access list, can reach this one.
    Fd out(::openat(dstDir, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                    S_IRUSR | S_IWUSR));
    if (!out.Valid()) {
        Fail(errno, name, true);
        return;
    }
    int error = Data(in.Get(), out.Get(), node);
    // Past the data every call changes the new file; in it, a full disk or a quota shows
    // the side written to (the kernel's copy does not tell a read from a write).
    const bool writing = error == 0 || Writing(error) || writeFailed_;
    error = error != 0 ? error : Attributes(in.Get(), out.Get(), node);
    error = error != 0 ? error : ModeAndTimes(out.Get(), node);
    if (::close(out.Release()) != 0 && error == 0) {
        error = errno;
    }
    if (error != 0) {
        Fail(error, name, writing);
        return;
    }
    ++stats.copied;
    Done(static_cast<std::uint64_t>(node.size));
}

// The `size` bytes the file held when it was opened; a file that shrinks meanwhile ends
// early. A sparse file keeps its holes: only the data extents are copied.
int Copier::Data(int in, int out, const Node& node) {
    if (node.blocks * 512 >= node.size) {
        return Range(in, out, 0, node.size);
    }
    for (off_t at = 0; at < node.size;) {
        const off_t data = ::lseek(in, at, SEEK_DATA);
        if (data < 0 && errno == ENXIO) {
            break; // only a hole is left
        }
        if (data < 0) {
            return errno == EINVAL ? Range(in, out, at, node.size) : errno;
        }
        const off_t hole = data < node.size ? ::lseek(in, data, SEEK_HOLE) : node.size;
        if (hole < 0) {
            return errno;
        }
        const off_t end = std::min(hole, node.size);
        if (const int error = Range(in, out, data, end); error != 0) {
            return error;
        }
        at = end;
    }
    return ::ftruncate(out, node.size) == 0 ? 0 : errno;
}

// Bytes [from, to) to the same place in `out`. The kernel copies without a trip through
// our memory where it can; where it cannot (across some file systems) plain reads and
// writes take over from where it stopped.
int Copier::Range(int in, int out, off_t from, off_t to) {
    bool kernel = kernelCopy_;
    // Pieces small enough that a stop asked for in a large file comes within moments.
    constexpr off_t kPiece = 64 << 20;
    constexpr std::uint64_t kReportEvery = 8 << 20;
    for (off_t at = from; at < to;) {
        if (bytes_ + static_cast<std::uint64_t>(at) >= told_ + kReportEvery) {
            Report(bytes_ + static_cast<std::uint64_t>(at));
            if (failed != 0) {
                return failed;
            }
        }
        const auto want = static_cast<std::size_t>(std::min(to - at, kPiece));
        ssize_t n = 0;
        if (kernel) {
            off_t inAt = at;
            off_t outAt = at;
            n = ::copy_file_range(in, &inAt, out, &outAt, want, 0);
            if (n < 0 && (errno == EXDEV || errno == ENOSYS || errno == EOPNOTSUPP ||
                          errno == EINVAL || errno == EBADF || errno == EPERM)) {
                kernelCopy_ = kernel = false; // the pair of file systems rarely changes
                continue;
            }
            if (n == 0) {
                kernel = false; // some file systems say 0 where they cannot: reads tell
                continue;
            }
        } else if ((n = Pass(in, out, at, want)) == 0) {
            break; // the file shrank since it was opened
        }
        if (n < 0 && errno != EINTR) {
            return errno;
        }
        at += std::max<ssize_t>(n, 0);
    }
    return 0;
}

// One buffer's worth read at `at` and all of it written at the same place: its length, 0
// at the end of the file, or -1 with errno.
ssize_t Copier::Pass(int in, int out, off_t at, std::size_t want) {
    buffer_.resize(256 * 1024);
    const ssize_t n = ::pread(in, buffer_.data(), std::min(want, buffer_.size()), at);
    for (ssize_t done = 0; done < n;) {
        const ssize_t w =
            ::pwrite(out, buffer_.data() + done, static_cast<std::size_t>(n - done), at + done);
        if (w < 0 && errno == EINTR) {
            continue;
        }
        if (w <= 0) {
            errno = w == 0 ? EIO : errno;
            writeFailed_ = true;
            return -1;
        }
        done += w;
    }
    return n;
}

// The owner (as root, like cp -a) and every extended attribute, access lists included.
// What the destination cannot hold (ENOTSUP) or this user may not set (EPERM) is left out,
// as cp -a leaves it out; any other failure fails the entry.
int Copier::Attributes(int src, int dst, const Node& node) {
    if (root_ && ::fchown(dst, node.uid, node.gid) != 0 && errno != EPERM && errno != EINVAL) {
        return errno;
    }
    const ssize_t listed =
        Fetch(names_, [&](char* p, std::size_t s) { return ::flistxattr(src, p, s); });
    if (listed < 0) {
        return errno == ENOTSUP ? 0 : errno;
    }
    for (std::size_t at = 0; at < static_cast<std::size_t>(listed);) {
        const char* name = names_.data() + at;
        at += std::strlen(name) + 1;
        // A security label belongs to the policy where the copy lives, not to the data.
        if (std::strcmp(name, "security.selinux") == 0) {
            continue;
        }
        const ssize_t size =
            Fetch(value_, [&](char* p, std::size_t s) { return ::fgetxattr(src, name, p, s); });
        if (size < 0 && errno != ENODATA) {
            return errno;
        }
        if (size >= 0 &&
            ::fsetxattr(dst, name, value_.data(), static_cast<std::size_t>(size), 0) != 0 &&
            errno != ENOTSUP && errno != EPERM) {
            return errno;
        }
    }
    return 0;
}

int Copier::ModeAndTimes(int dst, const Node& node) {
    if (::fchmod(dst, node.mode & 07777) != 0) {
        return errno;
    }
    const timespec times[2] = {node.atime, node.mtime};
    return ::futimens(dst, times) == 0 ? 0 : errno;
}

namespace {

// Flushes every file and folder of the complete copy open as `dir` (`node`) one at a time,
// for a file system where syncfs fails. syncfs also reports what went wrong with any other
// file there, since the copy started; one at a time only the copy's own files count.
int SyncEach(Fd dir, const Node& node) {
    struct Level {
        Node node;
        std::vector<std::string> folders;
        std::size_t next = 0;
    };
    std::vector<Level> stack(1);
    stack.back().node = node;
    const auto flush = [&dir](Level& level) {
        int failed = 0;
        const int error = ForEachEntry(dir.Get(), [&](const char* name, unsigned char) {
            // Read-only is enough to flush; O_NONBLOCK as in the copy, though only files
            // and folders the copy made are here.
            Fd entry(::openat(dir.Get(), name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
            Node what;
            failed = !entry.Valid() ? errno : StatFd(entry.Get(), what);
            if (failed == 0 && S_ISDIR(what.mode)) {
                level.folders.emplace_back(name); // flushed when it is reached
            } else if (failed == 0 && ::fsync(entry.Get()) != 0) {
                failed = errno;
            }
            return failed == 0;
        });
        return error != 0 ? error : failed != 0 ? failed : ::fsync(dir.Get()) == 0 ? 0 : errno;
    };
    if (const int error = flush(stack.back()); error != 0) {
        return error;
    }
    while (!stack.empty()) {
        Level& level = stack.back();
        if (level.next < level.folders.size()) {
            Fd child(::openat(dir.Get(), level.folders[level.next++].c_str(), kDirFlags));
            Node childNode;
            const int error = child.Valid() ? StatFd(child.Get(), childNode) : errno;
            if (error != 0) {
                return error;
            }
            stack.emplace_back().node = childNode;
            dir = std::move(child);
            if (const int flushed = flush(stack.back()); flushed != 0) {
                return flushed;
            }
            continue;
        }
        stack.pop_back();
        if (!stack.empty()) {
            Fd up;
            if (const int error = Climb(dir.Get(), stack.back().node, up); error != 0) {
                return error;
            }
            dir = std::move(up);
        }
    }
    return 0;
}

// Puts the complete copy open as `staged` on the disk before it is published, so that a
// power cut can never leave a copy in place whose files are not all there. One syncfs
// writes it all in a single pass (and whatever else the file system has pending: a cost
// the copy pays once, where a flush per file would pay a wait per file).
int Flush(int staged, const Node& node) {
    if (::syncfs(staged) == 0) {
        return 0;
    }
    Fd top(::openat(staged, ".", kDirFlags));
    return top.Valid() ? SyncEach(std::move(top), node) : errno;
}

} // namespace

} // namespace platform::posix

namespace platform {

using namespace posix;

int CopyTree(const Below& from, const Below& into, const CopyOptions& options, FailedAt* where) {
    if (from.names.empty() || !IsPlainName(from.names.back())) {
        return EINVAL;
    }
    const std::string& name = from.names.back();
    // Where the copy goes, as the user knows it: what fails there is named by it.
    Below placed = into;
    placed.names.push_back(name);
    const auto failed = [&](int error, const Below& at, std::size_t names,
                            const std::vector<std::string>& inside = {}) {
        Tell(where, at, names, inside);
        return error;
    };
    Reached source;
    Reached target;
    if (const int error = Reach(into, into.names.size(), false, target); error != 0) {
        return failed(error, into, target.failed);
    }
    const int dir = target.fd.Get();
    if (!StageFits(name)) {
        return ENAMETOOLONG;
    }
    // First, so that even a copy that fails puts back an old copy a killed swap left aside.
    Sweep(dir, target.node, options.exclusive,
          [&](const Leftover& left) { return left.name == name; });
    if (const int error = Reach(from, from.names.size(), false, source); error != 0) {
        return failed(error, from, source.failed);
    }
    // Into itself or its own subtree the copy would chase its own output.
    if (const int error = CheckOutside(dir, source.node); error != 0) {
        return error;
    }

    Node old;
    const int state = StatAt(dir, name.c_str(), old);
    if (state == 0) {
        if (!S_ISDIR(old.mode) || !SameMount(old, target.node)) {
            return failed(S_ISLNK(old.mode)   ? ELOOP
                          : S_ISDIR(old.mode) ? EXDEV
                                              : ENOTDIR,
                          placed, placed.names.size());
        }
        // The old copy goes at the end; it must not hold the source.
        if (const int error = CheckOutside(source.fd.Get(), old); error != 0) {
            return error;
        }
    } else if (state != ENOENT) {
        return failed(state, placed, placed.names.size());
    }

    Fd src(::openat(source.fd.Get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!src.Valid()) {
        return failed(errno, from, from.names.size());
    }
    std::string stage;
    for (int n = 0; n < 100 && stage.empty(); ++n) {
        stage = StageName(name, n, "new");
        if (::mkdirat(dir, stage.c_str(), S_IRWXU) != 0) {
            if (errno != EEXIST) {
                return failed(errno, placed, placed.names.size());
            }
            stage.clear();
        }
    }
    if (stage.empty()) {
        return failed(EEXIST, placed, placed.names.size());
    }
    Fd dst(::openat(dir, stage.c_str(), kDirFlags));
    // Kept open for the flush from before the first byte is written: syncfs reports the
    // write errors of the file system since this descriptor was opened.
    Fd staged(dst.Valid() ? ::dup(dst.Get()) : -1);
    Node dstNode;
    Copier copier(options);
    if (!staged.Valid() || StatFd(dst.Get(), dstNode) != 0) {
        copier.failed = errno != 0 ? errno : EIO;
        copier.failedWriting = true;
    } else {
        // An access list inherited from the folder above is not the source's: gone before
        // anything is made inside, so nothing inherits it.
        ::fremovexattr(dst.Get(), "system.posix_acl_access");
        ::fremovexattr(dst.Get(), "system.posix_acl_default");
        // The file system's clock as the stage was made, before any file is read; to the
        // whole second below it, so that a source on a file system with coarser times than
        // this one's can never show a later change as an earlier one.
        copier.stats.began = FileTime{dstNode.ctime.tv_sec, 0};
        Fd oldDir(state == 0 && options.linkUnchanged ? ::openat(dir, name.c_str(), kPathFlags)
                                                      : -1);
        Node oldNode;
        if (oldDir.Valid() && (StatFd(oldDir.Get(), oldNode) != 0 || !SameNode(oldNode, old))) {
            oldDir.Reset(); // replaced since it was looked at: nothing to link to
        }
        copier.Tree(std::move(src), source.node, std::move(dst), dstNode, staged.Get(),
                    std::move(oldDir), oldNode);
    }
    if (options.stats != nullptr) {
        *options.stats = copier.stats;
    }
    std::string leaving;
    int error = copier.failed;
    if (error != 0) {
        // Read from the source, or written to where the copy goes.
        failed(error, copier.failedWriting ? placed : from,
               copier.failedWriting ? placed.names.size() : from.names.size(), copier.failedAt);
    } else if ((error = Flush(staged.Get(), dstNode)) != 0) {
        failed(error, placed, placed.names.size());
    }
    staged.Reset();
    if (error == 0 && state == 0 && options.keep) {
        error = PlaceKeeping(dir, target.node, placed, old, *options.keep, options.exclusive, stage,
                             leaving, where);
    } else if (error == 0 && (error = PutInPlace(dir, stage, name, leaving)) != 0) {
        failed(error, placed, placed.names.size());
    }
    if (error != 0) {
        if (!stage.empty()) {
            Remover().Folder(dir, stage, target.node);
        }
        return error;
    }
    // The swap on the disk before the old copy goes, and before the caller is told.
    const int synced = SyncFolder(dir);
    Remover remover;
    const int removed = leaving.empty() ? 0 : remover.Folder(dir, leaving, target.node);
    if (synced != 0) {
        return failed(synced, into, into.names.size());
    }
    if (removed != 0) {
        // Named by its hidden name: under the copy's own it would be the new copy.
        return failed(removed, into, into.names.size(), remover.failedAt);
    }
    return copier.skipped != 0 ? failed(copier.skipped, from, from.names.size(), copier.skippedAt)
                               : 0;
}

} // namespace platform
