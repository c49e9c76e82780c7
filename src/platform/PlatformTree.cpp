// POSIX side of the tree operations: the whole-folder copy behind a backup or restore,
// the whole-folder delete, and the folder creation before them.
//
// Every name below a trusted root is opened from the opened folder above it with
// O_NOFOLLOW, and its mount identity (statx's mount id; the device where the kernel has
// none) is compared with the root's, so neither a link nor a mount, not even a bind mount
// of the same file system, is ever passed through. The walks hold one folder of each tree
// open, whatever the depth: they remember the device and inode of every folder above and
// climb back through "..", refusing to go on when it leads anywhere else.
//
// Results are 0 on full success and otherwise the errno of the first thing that went
// wrong, so a caller that wants more than "it failed" can print strerror() of it.
#include "platform/Platform.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <optional>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/types.h>
#include <sys/xattr.h>
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

constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
// A bare reference to a folder: needs no read permission, serves the *at calls.
constexpr int kPathFlags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// What the operations know of a node: who it is, which mount it was reached through, and
// the metadata a copy carries over.
struct Node {
    dev_t dev = 0;
    ino_t ino = 0;
    std::uint64_t mount = 0;
    bool mountKnown = false;
    mode_t mode = 0;
    uid_t uid = 0;
    gid_t gid = 0;
    off_t size = 0;
    blkcnt_t blocks = 0;
    timespec atime{};
    timespec mtime{};
};

timespec TimeOf(const statx_timestamp& t) {
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(t.tv_sec);
    ts.tv_nsec = static_cast<long>(t.tv_nsec);
    return ts;
}

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
    return 0;
}

int StatFd(int fd, Node& node) {
    return StatAt(fd, "", node);
}

bool SameNode(const Node& a, const Node& b) {
    return a.dev == b.dev && a.ino == b.ino;
}

// A bind mount shares the device of what it shows, so the device alone cannot tell; the
// mount id can, where the kernel reports one.
bool SameMount(const Node& a, const Node& b) {
    return a.dev == b.dev && (!a.mountKnown || !b.mountKnown || a.mount == b.mount);
}

bool IsPlainName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of(std::string_view("/\0", 2)) == std::string::npos;
}

// Calls `visit(name, type)` for every entry of the folder open (readable) as `dir` but
// "." and ".."; `visit` returns false to stop. 0, or the errno of a failed read.
template <class Visit> int ForEachEntry(int dir, Visit&& visit) {
    Fd own(::dup(dir));
    DIR* stream =
        own.Valid() && ::lseek(own.Get(), 0, SEEK_SET) == 0 ? ::fdopendir(own.Get()) : nullptr;
    if (stream == nullptr) {
        return errno;
    }
    own.Release();
    int error = 0;
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(stream);
        if (entry == nullptr) {
            error = errno;
            break;
        }
        const char* n = entry->d_name;
        if (n[0] == '.' && (n[1] == '\0' || (n[1] == '.' && n[2] == '\0'))) {
            continue;
        }
        if (!visit(n, entry->d_type)) {
            break;
        }
    }
    ::closedir(stream);
    return error;
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

// A folder reached from a trusted root, and that root.
struct Reached {
    Fd fd; // a bare reference (O_PATH)
    Node node;
    Node root;
};

// Opens `path.root`, however the system resolves it, then the first `depth` names below it
// one at a time, each a real folder on the root's mount; with `create`, a missing one is
// made first. 0 or errno (ELOOP or ENOTDIR for a link, EXDEV for a mount).
int Reach(const Below& path, std::size_t depth, bool create, Reached& out) {
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
        const std::string& name = path.names[i];
        if (!IsPlainName(name)) {
            return EINVAL;
        }
        if (create && ::mkdirat(out.fd.Get(), name.c_str(), 0777) != 0 && errno != EEXIST) {
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

// ---------------------------------------------------------------------------------
// Remove

class Remover {
public:
    explicit Remover(TreeProgress* progress = nullptr) : progress_(progress) {}

    // Removes the folder `parent`/`name` with everything in it, staying on the mount of
    // `home`: a folder reached through another mount is left alone and reported.
    int Folder(int parent, const std::string& name, const Node& home);

private:
    struct Level {
        Node node;
        std::string name;
        std::vector<std::string> folders; // still to descend into
        std::size_t next = 0;
        bool failed = false; // something in it stays, so it stays too
        int pass = 0;
    };
    int first_ = 0;
    const bool root_ = ::geteuid() == 0;
    TreeProgress* progress_;
    std::uint64_t files_ = 0;

    void Fail(int error, Level* level) {
        first_ = first_ != 0 ? first_ : (error != 0 ? error : EIO);
        if (level != nullptr) {
            level->failed = true;
        }
    }
    int Open(int parent, const std::string& name, const Node& home, Fd& fd, Node& node);
    void Empty(int dir, Level& level);
};

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

// ---------------------------------------------------------------------------------
// Copy

class Copier {
public:
    explicit Copier(TreeProgress* progress) : progress_(progress) {}

    int failed = 0;  // the first failure that leaves the copy incomplete
    int skipped = 0; // the first entry of a kind that is never copied

    // Fills the empty folder open as `dst` with the content of the folder open as `src`
    // and gives every folder it made, `dst` included, its source's metadata at the end.
    void Tree(Fd src, const Node& srcNode, Fd dst, const Node& dstNode);

private:
    struct Level {
        Node src;
        Node dst;
        std::vector<std::string> folders;
        std::size_t next = 0;
    };
    const bool root_ = ::geteuid() == 0;
    bool kernelCopy_ = true;
    Node home_;
    TreeProgress* progress_;
    std::uint64_t files_ = 0;
    std::uint64_t bytes_ = 0; // of the files done, and of the one going, up to `told_`
    std::uint64_t told_ = 0;  // bytes at the last report
    // The progress of `files_` and `bytes_`; a stop asked for fails the copy.
    void Report(std::uint64_t bytes) {
        told_ = bytes;
        if (progress_ != nullptr && !progress_->Advance(files_, bytes)) {
            Fail(ECANCELED);
        }
    }
    std::vector<char> buffer_;
    std::vector<char> names_ = std::vector<char>(1024);
    std::vector<char> value_ = std::vector<char>(4096);

    void Fail(int error) { failed = failed != 0 ? failed : (error != 0 ? error : EIO); }
    void Skip(int error) { skipped = skipped != 0 ? skipped : error; }
    // An entry that could not be opened: gone since the listing is nothing to copy, one
    // that became a link is skipped, anything else fails the copy.
    void NotOpened(int error) {
        if (error == ELOOP || error == ENOTDIR) {
            Skip(ELOOP);
        } else if (error != ENOENT) {
            Fail(error);
        }
    }
    void Fill(int src, int dst, Level& level);
    void File(int srcDir, int dstDir, const char* name);
    int Data(int in, int out, const Node& node);
    int Range(int in, int out, off_t from, off_t to);
    ssize_t Pass(int in, int out, off_t at, std::size_t want);
    int Attributes(int src, int dst, const Node& node);
    static int ModeAndTimes(int dst, const Node& node);
};

void Copier::Tree(Fd src, const Node& srcNode, Fd dst, const Node& dstNode) {
    home_ = srcNode;
    std::vector<Level> stack(1);
    stack.back().src = srcNode;
    stack.back().dst = dstNode;
    Fill(src.Get(), dst.Get(), stack.back());
    while (failed == 0 && !stack.empty()) {
        Level& level = stack.back();
        if (level.next < level.folders.size()) {
            const std::string name = level.folders[level.next++];
            Fd childSrc(::openat(src.Get(), name.c_str(), kDirFlags));
            Node childNode;
            if (!childSrc.Valid()) {
                NotOpened(errno);
            } else if (const int error = StatFd(childSrc.Get(), childNode); error != 0) {
                Fail(error);
            } else if (!SameMount(childNode, home_)) {
                Skip(EXDEV);
            } else if (::mkdirat(dst.Get(), name.c_str(), S_IRWXU) != 0) {
                Fail(errno); // private while it is filled; its own mode comes last
            } else {
                Fd childDst(::openat(dst.Get(), name.c_str(), kDirFlags));
                stack.emplace_back().src = childNode;
                if (!childDst.Valid() || StatFd(childDst.Get(), stack.back().dst) != 0) {
                    Fail(errno);
                    break;
                }
                src = std::move(childSrc);
                dst = std::move(childDst);
                Fill(src.Get(), dst.Get(), stack.back());
            }
            continue;
        }
        const Node folder = level.src;
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
            Fail(error);
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
                NotOpened(errno);
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
            Skip(type == DT_LNK ? ELOOP : EINVAL);
        }
        return failed == 0;
    });
    if (error != 0) {
        Fail(error);
    }
}

void Copier::File(int srcDir, int dstDir, const char* name) {
    // O_NONBLOCK: should the entry have become a pipe since the listing, the open must
    // not hang; the type check below then turns it away.
    Fd in(::openat(srcDir, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    Node node;
    if (!in.Valid()) {
        NotOpened(errno);
        return;
    }
    if (const int error = StatFd(in.Get(), node); error != 0) {
        Fail(error);
        return;
    }
    if (!S_ISREG(node.mode) || !SameMount(node, home_)) {
        Skip(S_ISREG(node.mode) ? EXDEV : EINVAL);
        return;
    }
    // Always a new file in a new folder: nothing of an older copy's file, its attributes
    // or its access list, can reach this one.
    Fd out(::openat(dstDir, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                    S_IRUSR | S_IWUSR));
    if (!out.Valid()) {
        Fail(errno);
        return;
    }
    int error = Data(in.Get(), out.Get(), node);
    error = error != 0 ? error : Attributes(in.Get(), out.Get(), node);
    error = error != 0 ? error : ModeAndTimes(out.Get(), node);
    if (::close(out.Release()) != 0 && error == 0) {
        error = errno;
    }
    if (error != 0) {
        Fail(error);
        return;
    }
    ++files_;
    bytes_ += static_cast<std::uint64_t>(node.size);
    Report(bytes_);
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
            return -1;
        }
        done += w;
    }
    return n;
}

// Fills `buffer` through `get(data, size)`, growing it while it is too small. The length,
// or -1 with errno.
template <class Get> ssize_t Fetch(std::vector<char>& buffer, Get get) {
    for (;;) {
        const ssize_t n = get(buffer.data(), buffer.size());
        if (n >= 0 || errno != ERANGE) {
            return n;
        }
        const ssize_t need = get(nullptr, 0);
        if (need < 0) {
            return need;
        }
        buffer.resize(static_cast<std::size_t>(need) + 1);
    }
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

// ---------------------------------------------------------------------------------
// Staging: the new copy is built under a name of its own beside the one it replaces.
//
// ".<name>.dittoly-<pid>-<n>.<end>", where <end> tells what it holds:
//   new    the copy being built; once exchanged, the old copy on its way out
//   old    the old copy, stepped aside on a file system that cannot exchange two names
//   ready  the complete new copy, while the old one moves to where it is kept
//   gone   a folder on its way out (DiscardTree)
//   swap   in the folder where a replaced copy is kept, and with the old copy's inode
//          in place of <n>: the complete new copy before it changes places with the old
//          one, the old one after; its inode tells which
// The pid tells whose it is: only those of processes that no longer exist are leftovers,
// so two runs at once never remove each other's work.

std::string StageName(const std::string& name, int n, const char* end) {
    return "." + name + ".dittoly-" + std::to_string(::getpid()) + "-" + std::to_string(n) + "." +
           end;
}

// Too long a name leaves no room for the staging names.
bool StageFits(const std::string& name) {
    return name.size() + 40 <= NAME_MAX;
}

struct Leftover {
    std::string entry; // as found
    std::string name;  // what it held or was to hold
    std::string_view end;
    std::uint64_t n = 0;
};

// Ours by its name, and its process is gone.
std::optional<Leftover> LeftoverOf(std::string_view entry) {
    const std::size_t tag = entry.rfind(".dittoly-");
    const std::size_t dot = entry.rfind('.');
    if (!entry.starts_with('.') || tag == std::string_view::npos || tag < 2 || dot <= tag) {
        return std::nullopt;
    }
    std::string_view end;
    for (const std::string_view known : {"new", "old", "ready", "gone", "swap"}) {
        end = entry.substr(dot + 1) == known ? known : end;
    }
    const char* digits = entry.data() + tag + 9;
    const char* last = entry.data() + dot;
    long pid = 0;
    std::uint64_t n = 0;
    const auto first = std::from_chars(digits, last, pid);
    if (end.empty() || first.ec != std::errc() || first.ptr == last || *first.ptr != '-' ||
        std::from_chars(first.ptr + 1, last, n).ptr != last || pid <= 0 || pid == ::getpid() ||
        ::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) {
        return std::nullopt;
    }
    return Leftover{std::string(entry), std::string(entry.substr(1, tag - 1)), end, n};
}

// Finishes or clears what ended processes left in the folder open as `dir`, those that
// `mine` picks. A complete copy that was set aside or waiting ("old", "ready") takes its
// name back when the name is free; everything else goes.
template <class Mine> void Sweep(int dir, const Node& home, Mine mine) {
    Fd list(::openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    std::vector<Leftover> found;
    if (list.Valid()) {
        ForEachEntry(list.Get(), [&](const char* entry, unsigned char) {
            if (auto left = LeftoverOf(entry); left && mine(*left)) {
                found.push_back(std::move(*left));
            }
            return true;
        });
    }
    // Those that may take their name back first, so that nothing else can.
    const auto whole = [dir](const Leftover& left) {
        Node node;
        return left.end == "old" || left.end == "ready" ||
               (left.end == "swap" && StatAt(dir, left.entry.c_str(), node) == 0 &&
                node.ino == left.n);
    };
    std::stable_partition(found.begin(), found.end(), whole);
    for (const Leftover& left : found) {
        Node node;
        if (whole(left) && StatAt(dir, left.name.c_str(), node) == ENOENT &&
            ::renameat(dir, left.entry.c_str(), dir, left.name.c_str()) == 0) {
            continue;
        }
        Remover().Folder(dir, left.entry, home);
    }
}

// Renames without ever replacing what holds the new name. 0 or errno.
int MoveNoReplace(int fromDir, const std::string& from, int toDir, const std::string& to) {
    if (::renameat2(fromDir, from.c_str(), toDir, to.c_str(), RENAME_NOREPLACE) == 0) {
        return 0;
    }
    if (errno != EINVAL) {
        return errno;
    }
    // A file system without that flag: looked at first, then renamed.
    Node node;
    if (StatAt(toDir, to.c_str(), node) != ENOENT) {
        return EEXIST;
    }
    return ::renameat(fromDir, from.c_str(), toDir, to.c_str()) == 0 ? 0 : errno;
}

// Puts the complete copy at `stage` in place of `name`: exchanged with the old one in one
// step, or renamed where there is none. `leaving` then names what is to be removed.
int PutInPlace(int dir, const std::string& stage, const std::string& name, std::string& leaving) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        Node old;
        const int state = StatAt(dir, name.c_str(), old);
        if (state != 0 && state != ENOENT) {
            return state;
        }
        const bool hasOld = state == 0;
        if (::renameat2(dir, stage.c_str(), dir, name.c_str(),
                        hasOld ? RENAME_EXCHANGE : RENAME_NOREPLACE) == 0) {
            leaving = hasOld ? stage : std::string();
            return 0;
        }
        if (errno == (hasOld ? ENOENT : EEXIST)) {
            continue; // the old one went or came meanwhile
        }
        if (errno != EINVAL) {
            return errno;
        }
        // A file system that cannot exchange: the old copy steps aside first. A kill between
        // the two renames leaves it aside, and the next copy puts it back.
        const std::string aside = StageName(name, 0, "old");
        if (hasOld && ::renameat(dir, name.c_str(), dir, aside.c_str()) != 0) {
            return errno;
        }
        if (::renameat(dir, stage.c_str(), dir, name.c_str()) != 0) {
            const int error = errno;
            if (hasOld) {
                ::renameat(dir, aside.c_str(), dir, name.c_str());
            }
            return error;
        }
        leaving = hasOld ? aside : std::string();
        return 0;
    }
    return EAGAIN;
}

// Puts the complete copy at `stage` in place of the old folder `name` (`oldNode`), which
// moves to `keep`/<name>. At no moment is `name` missing, and a kill leaves nothing that
// the next run cannot tell apart: the copy moves into the keeping folder under a name that
// carries the old folder's inode, changes places with the old folder in one step, and the
// old one then takes its name there (see "swap" above). A file system that cannot exchange
// two names gets the copy marked complete ("ready") beside the old one, which moves away
// before the copy takes its place. On another mount the old folder is copied there first,
// then replaced as usual. `stage` is cleared once what it named is elsewhere.
int PlaceKeeping(int dir, const Node& home, const Below& old, const Node& oldNode,
                 const Below& keep, std::string& stage, std::string& leaving) {
    const std::string& name = old.names.back();
    Reached kept;
    CreateFolderChain(keep.root);
    if (const int error = Reach(keep, keep.names.size(), true, kept); error != 0) {
        return error;
    }
    const int into = kept.fd.Get();
    if (!SameMount(kept.node, home)) {
        if (const int error = CopyTree(old, keep); error != 0) {
            return error;
        }
        return PutInPlace(dir, stage, name, leaving);
    }
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

int CopyTree(const Below& from, const Below& into, const CopyOptions& options) {
    if (from.names.empty() || !IsPlainName(from.names.back())) {
        return EINVAL;
    }
    const std::string& name = from.names.back();
    Reached source;
    Reached target;
    if (const int error = Reach(into, into.names.size(), false, target); error != 0) {
        return error;
    }
    const int dir = target.fd.Get();
    if (!StageFits(name)) {
        return ENAMETOOLONG;
    }
    // First, so that even a copy that fails puts back an old copy a killed swap left aside.
    Sweep(dir, target.node, [&](const Leftover& left) { return left.name == name; });
    if (const int error = Reach(from, from.names.size(), false, source); error != 0) {
        return error;
    }
    // Into itself or its own subtree the copy would chase its own output.
    if (const int error = CheckOutside(dir, source.node); error != 0) {
        return error;
    }

    Node old;
    const int state = StatAt(dir, name.c_str(), old);
    if (state == 0) {
        if (!S_ISDIR(old.mode) || !SameMount(old, target.node)) {
            return S_ISLNK(old.mode) ? ELOOP : S_ISDIR(old.mode) ? EXDEV : ENOTDIR;
        }
        // The old copy goes at the end; it must not hold the source.
        if (const int error = CheckOutside(source.fd.Get(), old); error != 0) {
            return error;
        }
    } else if (state != ENOENT) {
        return state;
    }

    Fd src(::openat(source.fd.Get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!src.Valid()) {
        return errno;
    }
    std::string stage;
    for (int n = 0; n < 100 && stage.empty(); ++n) {
        stage = StageName(name, n, "new");
        if (::mkdirat(dir, stage.c_str(), S_IRWXU) != 0) {
            if (errno != EEXIST) {
                return errno;
            }
            stage.clear();
        }
    }
    if (stage.empty()) {
        return EEXIST;
    }
    Fd dst(::openat(dir, stage.c_str(), kDirFlags));
    Node dstNode;
    Copier copier(options.progress);
    if (!dst.Valid() || StatFd(dst.Get(), dstNode) != 0) {
        copier.failed = errno != 0 ? errno : EIO;
    } else {
        // An access list inherited from the folder above is not the source's: gone before
        // anything is made inside, so nothing inherits it.
        ::fremovexattr(dst.Get(), "system.posix_acl_access");
        ::fremovexattr(dst.Get(), "system.posix_acl_default");
        copier.Tree(std::move(src), source.node, std::move(dst), dstNode);
    }
    std::string leaving;
    int placed = copier.failed;
    if (placed == 0 && state == 0 && options.keep) {
        Below current = into;
        current.names.push_back(name);
        placed = PlaceKeeping(dir, target.node, current, old, *options.keep, stage, leaving);
    } else if (placed == 0) {
        placed = PutInPlace(dir, stage, name, leaving);
    }
    if (placed != 0) {
        if (!stage.empty()) {
            Remover().Folder(dir, stage, target.node);
        }
        return placed;
    }
    if (!leaving.empty()) {
        if (const int error = Remover().Folder(dir, leaving, target.node); error != 0) {
            return error;
        }
    }
    return copier.skipped;
}

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

int DiscardTree(const Below& path) {
    Reached parent;
    if (path.names.empty() || !IsPlainName(path.names.back()) || !StageFits(path.names.back())) {
        return EINVAL;
    }
    if (const int error = Reach(path, path.names.size() - 1, false, parent); error != 0) {
        return error;
    }
    const int dir = parent.fd.Get();
    const std::string& name = path.names.back();
    Sweep(dir, parent.node, [](const Leftover& left) { return left.end == "gone"; });
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

void ClearLeftovers(const Below& folder) {
    Reached at;
    if (Reach(folder, folder.names.size(), false, at) == 0) {
        Sweep(at.fd.Get(), at.node, [](const Leftover&) { return true; });
    }
}

int MeasureTree(const Below& path, TreeSize& size) {
    Reached at;
    if (const int error = Reach(path, path.names.size(), false, at); error != 0) {
        return error;
    }
    Fd dir(::openat(at.fd.Get(), ".", kDirFlags));
    if (!dir.Valid()) {
        return errno;
    }
    struct Level {
        Node node;
        std::vector<std::string> folders;
        std::size_t next = 0;
    };
    std::vector<Level> stack(1);
    stack.back().node = at.node;
    int first = 0;
    const auto list = [&](Level& level) {
        const int error = ForEachEntry(dir.Get(), [&](const char* name, unsigned char) {
            Node node;
            if (StatAt(dir.Get(), name, node) == 0 && S_ISREG(node.mode)) {
                ++size.files;
                size.bytes += static_cast<std::uint64_t>(node.size);
            } else if (S_ISDIR(node.mode) && SameMount(node, at.node)) {
                level.folders.emplace_back(name);
            }
            return true;
        });
        first = first != 0 ? first : error;
    };
    list(stack.back());
    while (!stack.empty()) {
        Level& level = stack.back();
        if (level.next < level.folders.size()) {
            Fd child(::openat(dir.Get(), level.folders[level.next++].c_str(), kDirFlags));
            Node node;
            const int error = child.Valid() ? StatFd(child.Get(), node) : errno;
            if (error != 0) {
                first = first != 0 ? first : error;
                continue;
            }
            stack.emplace_back().node = node;
            dir = std::move(child);
            list(stack.back());
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
    return first;
}

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
    return IsPlainName(name) &&
           (::mkdirat(parent.fd.Get(), name.c_str(), 0777) == 0 || errno == EEXIST) &&
           StatAt(parent.fd.Get(), name.c_str(), node) == 0 && S_ISDIR(node.mode) &&
           SameMount(node, parent.node);
}

bool MakeFolderChain(const Below& path) {
    CreateFolderChain(path.root);
    Reached end;
    return Reach(path, path.names.size(), true, end) == 0;
}

} // namespace platform
