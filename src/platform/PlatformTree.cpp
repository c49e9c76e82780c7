// POSIX side of the tree operations: the whole-folder copy behind a backup or restore
// and the whole-folder delete. Both walk the tree through directory descriptors
// (openat/unlinkat with O_NOFOLLOW) rather than path strings, so a folder that is
// swapped for a link while we work can never send us outside the tree we were given.
//
// Both return 0 on full success and otherwise the errno of the first thing that went
// wrong, so a caller that wants more than "it failed" can print strerror() of it.
#include "platform/Platform.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>
#include <vector>

namespace platform {

namespace {

// Closes the descriptor when it goes out of scope.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() { Reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    Fd(Fd&& other) noexcept : fd_(other.Release()) {}
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) {
            Reset(other.Release());
        }
        return *this;
    }
    int Get() const { return fd_; }
    bool Valid() const { return fd_ >= 0; }
    int Release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void Reset(int fd = -1) {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

// A directory stream that owns its descriptor; dirfd() of it serves the *at calls.
class DirStream {
public:
    explicit DirStream(Fd fd) {
        dir_ = ::fdopendir(fd.Get());
        if (dir_ != nullptr) {
            fd.Release();
        }
    }
    ~DirStream() {
        if (dir_ != nullptr) {
            ::closedir(dir_);
        }
    }
    DirStream(const DirStream&) = delete;
    DirStream& operator=(const DirStream&) = delete;
    bool Valid() const { return dir_ != nullptr; }
    int Handle() const { return ::dirfd(dir_); }
    void Rewind() { ::rewinddir(dir_); }
    // The next entry other than "." and ".."; nullptr at the end or on a read error
    // (`error` then holds errno).
    const dirent* Next(int& error) {
        for (;;) {
            errno = 0;
            const dirent* entry = ::readdir(dir_);
            if (entry == nullptr) {
                error = errno;
                return nullptr;
            }
            const char* n = entry->d_name;
            if (n[0] == '.' && (n[1] == '\0' || (n[1] == '.' && n[2] == '\0'))) {
                continue;
            }
            return entry;
        }
    }

private:
    DIR* dir_ = nullptr;
};

constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// Every error is remembered once, the first one wins; errno may be 0 after an
// oddity such as a short copy, and a failure must never read as success.
struct Outcome {
    int first = 0;
    int failures = 0;
    void Fail(int error) {
        ++failures;
        if (first == 0) {
            first = error != 0 ? error : EIO;
        }
    }
};

bool IsDotName(const std::string& name) {
    return name == "." || name == "..";
}

bool SameNode(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// ---------------------------------------------------------------------------------
// Copy

class TreeCopier {
public:
    Outcome outcome;

    // Copies the folder open as `src` (described by `srcStat`) to `dstParent/name`.
    void CopyFolder(Fd src, const struct stat& srcStat, int dstParent, const char* name) {
        // Created private first, so nobody reads a half-filled folder through modes we
        // have not set yet; the source's mode follows once the content is in.
        Fd dst;
        bool fresh = false;
        if (::mkdirat(dstParent, name, 0700) == 0) {
            fresh = true;
            dst.Reset(::openat(dstParent, name, kDirFlags));
        } else if (errno == EEXIST) {
            dst.Reset(::openat(dstParent, name, kDirFlags));
            struct stat dstStat {};
            if (dst.Valid() && ::fstat(dst.Get(), &dstStat) == 0 && SameNode(dstStat, srcStat)) {
                outcome.Fail(EINVAL); // the destination is this very folder
                return;
            }
        }
        if (!dst.Valid()) {
            // ENOTDIR or ELOOP: a file or a link holds the name; we never write through
            // it and never replace it with a folder, it may be someone's data.
            outcome.Fail(errno);
            return;
        }
        CopyContents(std::move(src), dst.Get(), fresh);
        if (::fchmod(dst.Get(), srcStat.st_mode & 07777) != 0) {
            outcome.Fail(errno);
        }
        // Last, because every file we put in the folder moved its modification time.
        const struct timespec times[2] = {srcStat.st_atim, srcStat.st_mtim};
        if (::futimens(dst.Get(), times) != 0) {
            outcome.Fail(errno);
        }
    }

private:
    // A replaced destination file, kept open under a temporary name to take the next
    // file's content. Reusing its inode, rather than freeing it and allocating a new one
    // for every file, is what keeps a copy over an older backup as cheap as cp's
    // overwrite in place, while each name still changes in one atomic step.
    struct Spare {
        Fd fd;
        char name[64] = {};
        void Drop(int dir) {
            if (fd.Valid()) {
                fd.Reset();
                ::unlinkat(dir, name, 0);
            }
        }
    };

    // How a finished copy takes its name: a plain rename when nothing or something we
    // must not reuse holds it, an exchange with an old file of ours that then becomes
    // the spare.
    enum class Put : std::uint8_t { Rename, Exchange };

    std::vector<char> buffer_;
    pid_t pid_ = ::getpid();
    uid_t euid_ = ::geteuid();
    bool kernelCopy_ = true;
    bool exchange_ = true;

    void CopyContents(Fd src, int dst, bool fresh) {
        DirStream dir(std::move(src));
        if (!dir.Valid()) {
            outcome.Fail(errno);
            return;
        }
        Spare spare;
        int readError = 0;
        while (const dirent* entry = dir.Next(readError)) {
            unsigned char type = entry->d_type;
            if (type == DT_UNKNOWN) {
                struct stat st {};
                if (::fstatat(dir.Handle(), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
                    outcome.Fail(errno);
                    continue;
                }
                type = S_ISDIR(st.st_mode)   ? DT_DIR
                       : S_ISREG(st.st_mode) ? DT_REG
                       : S_ISLNK(st.st_mode) ? DT_LNK
                                             : DT_UNKNOWN;
            }
            if (type == DT_DIR) {
                CopySubfolder(dir.Handle(), entry->d_name, dst);
            } else if (type == DT_REG) {
                CopyFile(dir.Handle(), entry->d_name, dst, fresh, spare);
            } else {
                // Links, pipes, sockets and devices have no place in a backup of app
                // data: skipped, and the copy reports itself incomplete.
                outcome.Fail(type == DT_LNK ? ELOOP : EINVAL);
            }
        }
        if (readError != 0) {
            outcome.Fail(readError);
        }
        spare.Drop(dst);
    }

    void CopySubfolder(int srcParent, const char* name, int dst) {
        Fd src(::openat(srcParent, name, kDirFlags));
        struct stat st {};
        if (!src.Valid() || ::fstat(src.Get(), &st) != 0) {
            // Unreadable, or swapped for a link since the listing: nothing to copy, and
            // no empty folder in the backup pretends otherwise.
            outcome.Fail(errno);
            return;
        }
        CopyFolder(std::move(src), st, dst, name);
    }

    void CopyFile(int srcDir, const char* name, int dstDir, bool fresh, Spare& spare) {
        // What holds the name decides how the copy goes in; in a folder we have just
        // created nothing does, and the look is saved.
        Put put = Put::Rename;
        if (!fresh) {
            struct stat old {};
            if (::fstatat(dstDir, name, &old, AT_SYMLINK_NOFOLLOW) == 0) {
                if (S_ISDIR(old.st_mode)) {
                    outcome.Fail(EISDIR); // a folder where the file goes stays untouched
                    return;
                }
                // Only a writable plain file of ours with no other name may be reused: a
                // link, or a file with a second name elsewhere, just loses this name and
                // whatever it leads to stays as it is.
                if (exchange_ && S_ISREG(old.st_mode) && old.st_nlink == 1 && old.st_uid == euid_ &&
                    (old.st_mode & S_IWUSR) != 0) {
                    put = Put::Exchange;
                }
            } else if (errno != ENOENT) {
                outcome.Fail(errno);
                return;
            }
        }
        // O_NONBLOCK: should the entry have become a pipe since the listing, the open
        // must not hang; the fstat below then turns it away.
        Fd in(::openat(srcDir, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        struct stat st {};
        if (!in.Valid() || ::fstat(in.Get(), &st) != 0) {
            outcome.Fail(errno);
            return;
        }
        if (!S_ISREG(st.st_mode)) {
            outcome.Fail(EINVAL);
            return;
        }
        char tmp[64];
        Fd out = TakeTemporary(dstDir, spare, tmp);
        if (!out.Valid()) {
            outcome.Fail(errno);
            return;
        }
        int error = CopyData(in.Get(), out.Get(), st.st_size);
        if (error == 0 && ::fchmod(out.Get(), st.st_mode & 07777) != 0) {
            error = errno;
        }
        const struct timespec times[2] = {st.st_atim, st.st_mtim};
        if (error == 0 && ::futimens(out.Get(), times) != 0) {
            error = errno;
        }
        if (::close(out.Release()) != 0 && error == 0) {
            error = errno;
        }
        if (error == 0) {
            error = PutInPlace(dstDir, tmp, name, put, spare);
        }
        if (error != 0) {
            ::unlinkat(dstDir, tmp, 0);
            outcome.Fail(error);
        }
    }

    // Moves the finished copy at `tmp` to `name`. 0 when it is in place; otherwise the
    // copy is still at `tmp` and whatever held `name` still does.
    int PutInPlace(int dir, const char* tmp, const char* name, Put put, Spare& spare) {
        if (put == Put::Exchange) {
            if (::renameat2(dir, tmp, dir, name, RENAME_EXCHANGE) == 0) {
                return KeepAsSpare(dir, tmp, name, spare);
            }
            if (errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP) {
                exchange_ = false; // a file system without exchange: plain renames
            } else if (errno != ENOENT) {
                return errno;
            }
        }
        // rename replaces a file or link of that name whole, even a read-only one; it
        // refuses a folder (EISDIR), which then stays as it is.
        return ::renameat(dir, tmp, dir, name) == 0 ? 0 : errno;
    }

    // After an exchange the old file sits at `tmp`: kept open as the spare when it is
    // still a plain file with no other name and nobody else has it open, removed
    // otherwise. A program still reading the old file (a running app, a restore over
    // its live data) must keep seeing the old content, as after a plain rename; the
    // system grants a write lease only to a file's sole opener, so that is the test.
    // Should a folder have taken the name since we looked, it is exchanged back and
    // the copy fails.
    int KeepAsSpare(int dir, const char* tmp, const char* name, Spare& spare) {
        Fd old(::openat(dir, tmp, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        struct stat st {};
        if (old.Valid() && ::fstat(old.Get(), &st) == 0 && S_ISREG(st.st_mode) &&
            st.st_nlink == 1 && ::fcntl(old.Get(), F_SETLEASE, F_WRLCK) == 0) {
            // Nobody can open it any more but through our temporary name.
            ::fcntl(old.Get(), F_SETLEASE, F_UNLCK);
            spare.Drop(dir);
            spare.fd = std::move(old);
            std::memcpy(spare.name, tmp, sizeof spare.name);
            return 0;
        }
        old.Reset();
        if (::unlinkat(dir, tmp, 0) == 0) {
            return 0;
        }
        if (errno != EISDIR) {
            outcome.Fail(errno); // the copy is in place, but the old file lingers
            return 0;
        }
        ::renameat2(dir, tmp, dir, name, RENAME_EXCHANGE);
        return EISDIR;
    }

    // The spare emptied for the next file, or else a new temporary file.
    Fd TakeTemporary(int dstDir, Spare& spare, char (&tmp)[64]) {
        if (spare.fd.Valid()) {
            if (::ftruncate(spare.fd.Get(), 0) == 0) {
                std::memcpy(tmp, spare.name, sizeof tmp);
                return std::move(spare.fd);
            }
            spare.Drop(dstDir);
        }
        return CreateTemporary(dstDir, tmp);
    }

    // A new, empty, private file beside where the copy goes. The name does not derive
    // from the file's own so it never runs over the name length limit; pid and counter
    // keep two copies in flight from picking the same one.
    Fd CreateTemporary(int dstDir, char (&tmp)[64]) const {
        static std::atomic<unsigned> counter{0};
        for (int attempt = 0; attempt < 100; ++attempt) {
            std::snprintf(tmp, sizeof tmp, ".dittoly-%ld-%u.tmp", static_cast<long>(pid_),
                          counter++);
            const int fd =
                ::openat(dstDir, tmp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
            if (fd >= 0 || errno != EEXIST) {
                return Fd(fd);
            }
        }
        errno = EEXIST;
        return Fd();
    }

    // Copies the `size` bytes the file held when we opened it, so a file that grows
    // meanwhile is copied as it was then (one call fewer per file than reading to the
    // end, which counts across thousands of small files); one that shrinks ends early.
    // The kernel copies without a trip through our memory where it can; where it
    // cannot (older kernels across file systems, file systems without support) plain
    // reads and writes take over from where it stopped.
    int CopyData(int in, int out, off_t size) {
        off_t done = 0;
        while (done < size) {
            const auto want = static_cast<std::size_t>(size - done);
            ssize_t n = 0;
            if (kernelCopy_) {
                n = ::copy_file_range(in, nullptr, out, nullptr, want, 0);
                if (n < 0 && (errno == EXDEV || errno == ENOSYS || errno == EOPNOTSUPP ||
                              errno == EINVAL || errno == EBADF || errno == EPERM)) {
                    // The pair of file systems rarely changes within one tree: no point
                    // asking again for every file.
                    kernelCopy_ = false;
                    continue;
                }
            } else {
                n = ReadWrite(in, out, want);
            }
            if (n < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return errno;
            }
            if (n == 0) {
                return 0;
            }
            done += n;
        }
        return 0;
    }

    // One buffer's worth: what was read, all of it written; -1 with errno on failure.
    ssize_t ReadWrite(int in, int out, std::size_t want) {
        if (buffer_.empty()) {
            buffer_.resize(256 * 1024);
        }
        const ssize_t n = ::read(in, buffer_.data(), std::min(want, buffer_.size()));
        if (n <= 0) {
            return n;
        }
        const char* p = buffer_.data();
        auto left = static_cast<std::size_t>(n);
        while (left > 0) {
            const ssize_t w = ::write(out, p, left);
            if (w < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return -1;
            }
            p += w;
            left -= static_cast<std::size_t>(w);
        }
        return n;
    }
};

// True when the folder open as `folder` is the node `target` or lies anywhere below
// it. Walks up through ".." by descriptor, so links and odd spellings in either path
// cannot hide the relation. Sets `error` when the walk could not finish.
bool IsSameOrBelow(int folder, const struct stat& target, int& error) {
    struct stat cur {};
    if (::fstat(folder, &cur) != 0) {
        error = errno;
        return false;
    }
    Fd at;
    for (int depth = 0; depth < 4096; ++depth) {
        if (SameNode(cur, target)) {
            return true;
        }
        Fd up(::openat(at.Valid() ? at.Get() : folder, "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
        struct stat parent {};
        if (!up.Valid() || ::fstat(up.Get(), &parent) != 0) {
            error = errno;
            return false;
        }
        if (SameNode(parent, cur)) {
            return false; // the root is its own parent
        }
        cur = parent;
        at = std::move(up);
    }
    error = ELOOP;
    return false;
}

// ---------------------------------------------------------------------------------
// Remove

class TreeRemover {
public:
    Outcome outcome;
    dev_t device = 0;

    // Removes `parent/name` whatever it is; a link goes as a link.
    void RemoveEntry(int parent, const char* name) {
        Fd dir(::openat(parent, name, kDirFlags));
        if (!dir.Valid()) {
            if (errno == ENOTDIR || errno == ELOOP) {
                // A file, a link, a pipe: removed as a name, its target untouched.
                if (::unlinkat(parent, name, 0) != 0 && errno != ENOENT) {
                    outcome.Fail(errno);
                }
            } else if (errno == EACCES) {
                // An unreadable folder can still go if it happens to be empty.
                const int openError = errno;
                if (::unlinkat(parent, name, AT_REMOVEDIR) != 0) {
                    outcome.Fail(errno == ENOTEMPTY ? openError : errno);
                }
            } else if (errno != ENOENT) {
                outcome.Fail(errno);
            }
            return;
        }
        struct stat st {};
        if (::fstat(dir.Get(), &st) != 0) {
            outcome.Fail(errno);
            return;
        }
        if (st.st_dev != device) {
            // Another file system mounted inside the tree is not part of the app's data;
            // deleting through it could wipe anything. Left alone, and reported.
            outcome.Fail(EXDEV);
            return;
        }
        RemoveFolder(std::move(dir), parent, name);
    }

    void RemoveFolder(Fd dirFd, int parent, const char* name) {
        DirStream dir(std::move(dirFd));
        if (!dir.Valid()) {
            outcome.Fail(errno);
            return;
        }
        // Removing entries while reading the folder is safe on Linux file systems, but
        // a file system may still skip a name; another pass then picks it up.
        for (int pass = 0; pass < 3; ++pass) {
            const int failedBefore = outcome.failures;
            int readError = 0;
            while (const dirent* entry = dir.Next(readError)) {
                if (entry->d_type == DT_DIR) {
                    RemoveEntry(dir.Handle(), entry->d_name);
                } else if (::unlinkat(dir.Handle(), entry->d_name, 0) != 0) {
                    if (errno == EISDIR || errno == EPERM) {
                        RemoveEntry(dir.Handle(), entry->d_name); // untyped listing: a folder
                    } else if (errno != ENOENT) {
                        outcome.Fail(errno);
                    }
                }
            }
            if (readError != 0) {
                outcome.Fail(readError);
            }
            if (::unlinkat(parent, name, AT_REMOVEDIR) == 0) {
                return;
            }
            const int rmError = errno;
            if (rmError != ENOTEMPTY && rmError != EEXIST) {
                outcome.Fail(rmError);
                return;
            }
            if (outcome.failures != failedBefore) {
                // Something inside could not go; the folder stays and that is reported.
                outcome.Fail(rmError);
                return;
            }
            dir.Rewind();
        }
        outcome.Fail(ENOTEMPTY);
    }
};

} // namespace

namespace {

// Opens `path.root` (however the system resolves it) and then each of the first `depth`
// names below it without following a link. Invalid Fd with errno set on failure.
Fd OpenBelow(const Below& path, std::size_t depth) {
    Fd at(::open(path.root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    for (std::size_t i = 0; at.Valid() && i < depth; ++i) {
        if (path.names[i].empty() || IsDotName(path.names[i]) ||
            path.names[i].find(kSep) != std::string::npos) {
            errno = EINVAL;
            return Fd();
        }
        at.Reset(::openat(at.Get(), path.names[i].c_str(),
                          O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    }
    return at;
}

} // namespace

int CopyTree(const Below& from, const Below& into) {
    if (from.names.empty()) {
        return EINVAL;
    }
    Fd srcParent = OpenBelow(from, from.names.size() - 1);
    if (!srcParent.Valid()) {
        return errno;
    }
    const std::string& name = from.names.back();
    Fd src(::openat(srcParent.Get(), name.c_str(), kDirFlags));
    if (!src.Valid()) {
        return errno;
    }
    struct stat srcStat {};
    if (::fstat(src.Get(), &srcStat) != 0) {
        return errno;
    }
    Fd dst = OpenBelow(into, into.names.size());
    if (!dst.Valid()) {
        return errno;
    }
    // Into itself or its own subtree the copy would chase its own output forever.
    int walkError = 0;
    if (IsSameOrBelow(dst.Get(), srcStat, walkError)) {
        return EINVAL;
    }
    if (walkError != 0) {
        return walkError; // cannot tell, so no copy
    }
    TreeCopier copier;
    copier.CopyFolder(std::move(src), srcStat, dst.Get(), name.c_str());
    return copier.outcome.first;
}

int RemoveTree(const Below& path) {
    if (path.names.empty()) {
        return EINVAL; // never the root itself
    }
    Fd parent = OpenBelow(path, path.names.size() - 1);
    if (!parent.Valid()) {
        return errno;
    }
    const std::string& name = path.names.back();
    if (name.empty() || IsDotName(name) || name.find(kSep) != std::string::npos) {
        return EINVAL;
    }
    struct stat st {};
    if (::fstatat(parent.Get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        return errno; // a path that does not exist is a failure
    }
    if (S_ISLNK(st.st_mode)) {
        return ELOOP; // the link and what it leads to both stay
    }
    TreeRemover remover;
    remover.device = st.st_dev;
    remover.RemoveEntry(parent.Get(), name.c_str());
    return remover.outcome.first;
}

bool MakeFolder(const Below& path) {
    if (path.names.empty()) {
        return false;
    }
    Fd parent = OpenBelow(path, path.names.size() - 1);
    if (!parent.Valid()) {
        return false;
    }
    const std::string& name = path.names.back();
    if (name.empty() || IsDotName(name) || name.find(kSep) != std::string::npos) {
        return false;
    }
    if (::mkdirat(parent.Get(), name.c_str(), 0777) != 0 && errno != EEXIST) {
        return false;
    }
    struct stat st {};
    return ::fstatat(parent.Get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
           S_ISDIR(st.st_mode);
}

bool MakeFolderChain(const Below& path) {
    CreateFolderChain(path.root);
    Below upTo{path.root, {}};
    for (const std::string& name : path.names) {
        upTo.names.push_back(name);
        if (!MakeFolder(upTo)) {
            return false;
        }
    }
    return IsFolder(path.root);
}

} // namespace platform
