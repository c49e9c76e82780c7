#pragma once
// POSIX side of the tree operations: what the files that hold them share. Each concern has
// a file of its own, so a question about one is answered by a file's name: the walk below
// a trusted root that all of them go through, and the folder creation before them
// (TreeWalk.cpp); the whole-folder copy behind a backup or restore (TreeCopy.cpp, its
// class in Copier.h) and the links it takes instead of copies (TreeLink.cpp); the
// whole-folder delete (TreeRemove.cpp); the staging names, the swap that puts a complete
// copy in place and what a killed one leaves (TreeSwap.cpp); the moves of a replaced
// folder to where it is kept (TreeHistory.cpp); the measuring and the listing of files by
// identity (TreeMeasure.cpp); the
// comparison of two trees (TreeCompare.cpp). Only what more than one of them needs is here;
// each function is explained where it is defined.
//
// Results are 0 on full success and otherwise the errno of the first thing that went
// wrong, so a caller that wants more than "it failed" can print strerror() of it.

#include "platform/Platform.h"

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>
#include <vector>

namespace platform::posix {

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

inline constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
// A bare reference to a folder: needs no read permission, serves the *at calls.
inline constexpr int kPathFlags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

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
    timespec ctime{};        // the last change of contents or metadata
    std::uint64_t links = 1; // names of this node
};

// ---- The walk (TreeWalk.cpp)

int StatAt(int dir, const char* name, Node& node);
int StatFd(int fd, Node& node);

inline bool SameNode(const Node& a, const Node& b) {
    return a.dev == b.dev && a.ino == b.ino;
}

// A bind mount shares the device of what it shows, so the device alone cannot tell; the
// mount id can, where the kernel reports one.
inline bool SameMount(const Node& a, const Node& b) {
    return a.dev == b.dev && (!a.mountKnown || !b.mountKnown || a.mount == b.mount);
}

inline bool IsPlainName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of(std::string_view("/\0", 2)) == std::string::npos;
}

// Calls `visit(name, type)` for every entry of the folder open (readable) as `dir` but
// "." and ".."; `visit` returns false to stop. 0, or the errno of a failed read. Read
// straight from the descriptor, from its start: a directory stream would first dup it,
// look at it and set its flags, and close the dup, five calls more for every folder a walk
// lists.
template <class Visit> int ForEachEntry(int dir, Visit&& visit) {
    if (::lseek(dir, 0, SEEK_SET) != 0) {
        return errno;
    }
    alignas(dirent64) char buffer[32 * 1024];
    for (;;) {
        const ssize_t got = ::getdents64(dir, buffer, sizeof buffer);
        if (got <= 0) {
            return got == 0 ? 0 : errno;
        }
        for (ssize_t at = 0; at < got;) {
            const auto* entry = reinterpret_cast<const dirent64*>(buffer + at);
            at += entry->d_reclen;
            const char* n = entry->d_name;
            if (n[0] == '.' && (n[1] == '\0' || (n[1] == '.' && n[2] == '\0'))) {
                continue;
            }
            if (!visit(n, entry->d_type)) {
                return 0;
            }
        }
    }
}

// Fills `buffer` through `get(data, size)`, growing it while it is too small. The length,
// or -1 with errno. For the extended attributes the copy carries and the comparison reads.
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

int Climb(int dir, const Node& expected, Fd& up);
int CheckOutside(int dir, const Node& target);

// A folder reached from a trusted root, and that root.
struct Reached {
    Fd fd; // a bare reference (O_PATH)
    Node node;
    Node root;
    std::size_t failed = 0; // after a failure: the names down to the one that failed
};

// Tells `where` (when asked) that the failure lies at the first `names` names of `at`,
// followed by `inside`.
inline void Tell(FailedAt* where, const Below& at, std::size_t names,
                 const std::vector<std::string>& inside = {}) {
    if (where != nullptr) {
        where->root = at.root;
        where->names.assign(at.names.begin(),
                            at.names.begin() + static_cast<std::ptrdiff_t>(names));
        where->names.insert(where->names.end(), inside.begin(), inside.end());
    }
}

int Reach(const Below& path, std::size_t depth, bool create, Reached& out);
int SyncFolder(int dir);

// ---- Whether two files hold the same (TreeCompare.cpp); the copy asks it before a link

// What a copy carries over of a node itself, equal in `a` and `b`: mode, modification
// time, size (of files) and, when `owners`, owner and group.
inline bool CarriedEqual(const Node& a, const Node& b, bool owners) {
    return (a.mode & 07777) == (b.mode & 07777) && a.mtime.tv_sec == b.mtime.tv_sec &&
           a.mtime.tv_nsec == b.mtime.tv_nsec && (S_ISDIR(a.mode) || a.size == b.size) &&
           (!owners || (a.uid == b.uid && a.gid == b.gid));
}

// Whether `live` may be taken as what a copy that began to read at `readSince` found
// without reading it: it carries what `copy` carries, and nothing about it changed since
// that moment (its ctime moves with every write, mode, owner or attribute change).
inline bool UnchangedSince(const Node& live, const Node& copy,
                           const std::optional<FileTime>& readSince, bool owners) {
    return readSince &&
           FileTime{live.ctime.tv_sec, static_cast<std::int32_t>(live.ctime.tv_nsec)} <
               *readSince &&
           CarriedEqual(live, copy, owners);
}

// Compares what two open files hold, with buffers kept from pair to pair.
class Matcher {
public:
    // The same extended attributes with the same values (access lists included; the
    // security label, which a copy leaves out, not compared). 0 or errno; `differ` set.
    int Values(int a, int b, bool& differ);
    // The same bytes to the end of both, read from where each file stands.
    int Bytes(int a, int b, bool& differ);

private:
    std::vector<char> bytesA_;
    std::vector<char> bytesB_;
    std::vector<char> names_ = std::vector<char>(1024);
    std::vector<char> value_ = std::vector<char>(4096);
    std::vector<std::string> attrsA_;
    std::vector<std::string> attrsB_;
    int Attributes(int fd, std::vector<std::string>& names);
};

// ---- The removal (TreeRemove.cpp); the copy and the sweeps remove with it too

class Remover {
public:
    explicit Remover(TreeProgress* progress = nullptr) : progress_(progress) {}

    // Removes the folder `parent`/`name` with everything in it, staying on the mount of
    // `home`: a folder reached through another mount is left alone and reported.
    int Folder(int parent, const std::string& name, const Node& home);

    // Where the first failure lay: `name` and the names below it.
    std::vector<std::string> failedAt;

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
    std::vector<Level> stack_;

    // `name` in the folder the walk is in (none: that folder itself) could not go.
    void Fail(int error, Level* level, const char* name = nullptr) {
        if (first_ == 0) {
            first_ = error != 0 ? error : EIO;
            for (const Level& above : stack_) {
                failedAt.push_back(above.name);
            }
            if (name != nullptr) {
                failedAt.emplace_back(name);
            }
        }
        if (level != nullptr) {
            level->failed = true;
        }
    }
    int Open(int parent, const std::string& name, const Node& home, Fd& fd, Node& node);
    void Empty(int dir, Level& level);
};

// ---- Staging names and the swap (TreeSwap.cpp)

std::string StageName(const std::string& name, int n, const char* end);
bool StageFits(const std::string& name);

struct Leftover {
    std::string entry; // as found
    std::string name;  // what it held or was to hold
    std::string_view end;
    std::uint64_t n = 0;
};

std::vector<Leftover> FindStaged(int dir, bool exclusive,
                                 const std::function<bool(const Leftover&)>& mine);
void Sweep(int dir, const Node& home, bool exclusive,
           const std::function<bool(const Leftover&)>& mine);
int MoveNoReplace(int fromDir, const std::string& from, int toDir, const std::string& to);
int PutInPlace(int dir, const std::string& stage, const std::string& name, std::string& leaving);

// ---- Where a replaced folder is kept (TreeHistory.cpp)

int PlaceKeeping(int dir, const Node& home, const Below& old, const Node& oldNode,
                 const Below& keep, bool exclusive, std::string& stage, std::string& leaving,
                 FailedAt* where);

} // namespace platform::posix
