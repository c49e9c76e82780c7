// Whether two folders hold the same thing as far as a copy carries it: what a check after a
// backup or restore asks. Apart from the copy, whose walk it follows for two trees in step:
// it only reads, and what counts as the same is exactly what TreeCopy.cpp carries over.
#include "platform/posix/Tree.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace platform::posix {

namespace {

class Comparer {
public:
    explicit Comparer(const std::optional<FileTime>& readSince) : readSince_(readSince) {}
    bool differ = false; // the first difference ends the walk

    // Compares the folders open as `a` and `b` and everything below them. 0 or errno.
    int Trees(Fd a, const Node& aNode, Fd b, const Node& bNode);

private:
    struct Level {
        Node a;
        Node b;
        std::vector<std::string> folders; // in both, still to descend into
        std::size_t next = 0;
    };
    const bool root_ = ::geteuid() == 0;
    const std::optional<FileTime> readSince_;
    Node homeA_;
    Node homeB_;
    Matcher matcher_;
    std::vector<std::string> listA_;
    std::vector<std::string> listB_;

    // What a copy carries of the node itself. Owners only as root, as only root's copy
    // carries them; a copy of anything else than a file or a folder, or across a mount,
    // never happens, so such an entry alone makes the trees differ.
    bool Same(const Node& a, const Node& b) const {
        return ((S_ISDIR(a.mode) && S_ISDIR(b.mode)) || (S_ISREG(a.mode) && S_ISREG(b.mode))) &&
               SameMount(a, homeA_) && SameMount(b, homeB_) && CarriedEqual(a, b, root_);
    }
    int Entries(int a, int b, Level& level);
    int Pair(int a, int b, const Node& aNode, const Node& bNode);
    int Files(int a, int b, const char* name);
};

int Comparer::Trees(Fd a, const Node& aNode, Fd b, const Node& bNode) {
    homeA_ = aNode;
    homeB_ = bNode;
    std::vector<Level> stack(1);
    stack.back().a = aNode;
    stack.back().b = bNode;
    int error = Pair(a.Get(), b.Get(), aNode, bNode);
    error = error != 0 || differ ? error : Entries(a.Get(), b.Get(), stack.back());
    while (error == 0 && !differ && !stack.empty()) {
        Level& level = stack.back();
        if (level.next < level.folders.size()) {
            const std::string& name = level.folders[level.next++];
            Fd childA(::openat(a.Get(), name.c_str(), kDirFlags));
            Fd childB(::openat(b.Get(), name.c_str(), kDirFlags));
            Node nodeA;
            Node nodeB;
            error = !childA.Valid() ? errno : StatFd(childA.Get(), nodeA);
            error = error != 0 ? error : !childB.Valid() ? errno : StatFd(childB.Get(), nodeB);
            error = error != 0 ? error : Pair(childA.Get(), childB.Get(), nodeA, nodeB);
            if (error != 0 || differ) {
                break;
            }
            stack.emplace_back();
            stack.back().a = nodeA;
            stack.back().b = nodeB;
            a = std::move(childA);
            b = std::move(childB);
            error = Entries(a.Get(), b.Get(), stack.back());
            continue;
        }
        stack.pop_back();
        if (!stack.empty()) {
            Fd upA;
            Fd upB;
            error = Climb(a.Get(), stack.back().a, upA);
            error = error != 0 ? error : Climb(b.Get(), stack.back().b, upB);
            a = std::move(upA);
            b = std::move(upB);
        }
    }
    return error;
}

// The names of both folders, then each file, and the folders listed for the walk.
int Comparer::Entries(int a, int b, Level& level) {
    for (std::vector<std::string>* list : {&listA_, &listB_}) {
        list->clear();
        const int error =
            ForEachEntry(list == &listA_ ? a : b, [list](const char* name, unsigned char) {
                list->emplace_back(name);
                return true;
            });
        if (error != 0) {
            return error;
        }
        std::sort(list->begin(), list->end());
    }
    if (listA_ != listB_) {
        differ = true;
        return 0;
    }
    for (const std::string& name : listA_) {
        Node nodeA;
        Node nodeB;
        int error = StatAt(a, name.c_str(), nodeA);
        error = error != 0 ? error : StatAt(b, name.c_str(), nodeB);
        if (error != 0) {
            return error;
        }
        if (!Same(nodeA, nodeB)) {
            differ = true;
            return 0;
        }
        if (S_ISDIR(nodeA.mode)) {
            level.folders.push_back(name);
        } else if (UnchangedSince(nodeA, nodeB, readSince_, root_)) {
            continue; // as the copy would link it: nothing about it changed since it was read
        } else if ((error = Files(a, b, name.c_str())) != 0 || differ) {
            return error;
        }
    }
    return 0;
}

// The pair of files or folders open as `a` and `b`: their metadata and extended attributes.
int Comparer::Pair(int a, int b, const Node& aNode, const Node& bNode) {
    if (!Same(aNode, bNode)) {
        differ = true;
        return 0;
    }
    return matcher_.Values(a, b, differ);
}

int Comparer::Files(int a, int b, const char* name) {
    // O_NONBLOCK: should the entry have become a pipe since it was looked at, the open must
    // not hang; the type check then finds it.
    constexpr int kFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    Fd fileA(::openat(a, name, kFlags));
    Fd fileB(::openat(b, name, kFlags));
    Node nodeA;
    Node nodeB;
    int error = !fileA.Valid() ? errno : StatFd(fileA.Get(), nodeA);
    error = error != 0 ? error : !fileB.Valid() ? errno : StatFd(fileB.Get(), nodeB);
    error = error != 0 ? error : Pair(fileA.Get(), fileB.Get(), nodeA, nodeB);
    return error != 0 || differ ? error : matcher_.Bytes(fileA.Get(), fileB.Get(), differ);
}

} // namespace

// The names of the extended attributes a copy carries, sorted. A file system without them
// has none.
int Matcher::Attributes(int fd, std::vector<std::string>& names) {
    names.clear();
    const ssize_t listed =
        Fetch(names_, [&](char* p, std::size_t s) { return ::flistxattr(fd, p, s); });
    if (listed < 0) {
        return errno == ENOTSUP ? 0 : errno;
    }
    for (std::size_t at = 0; at < static_cast<std::size_t>(listed);) {
        const char* name = names_.data() + at;
        at += std::strlen(name) + 1;
        if (std::strcmp(name, "security.selinux") != 0) { // as the copy leaves it out
            names.emplace_back(name);
        }
    }
    std::sort(names.begin(), names.end());
    return 0;
}

int Matcher::Values(int a, int b, bool& differ) {
    int error = Attributes(a, attrsA_);
    error = error != 0 ? error : Attributes(b, attrsB_);
    if (error != 0 || attrsA_ != attrsB_) {
        differ = error == 0;
        return error;
    }
    std::string first;
    for (const std::string& name : attrsA_) {
        for (const int fd : {a, b}) {
            const ssize_t size = Fetch(value_, [&](char* p, std::size_t s) {
                return ::fgetxattr(fd, name.c_str(), p, s);
            });
            if (size < 0) {
                error = errno;
                differ = error == ENODATA; // gone since it was listed
                return differ ? 0 : error;
            }
            const std::string_view value(value_.data(), static_cast<std::size_t>(size));
            if (fd == a) {
                first.assign(value);
            } else if (value != first) {
                differ = true;
                return 0;
            }
        }
    }
    return 0;
}

namespace {

// Reads from `fd` until `buffer` is full or the file ends: the length, or -1 with errno.
ssize_t Fill(int fd, std::vector<char>& buffer) {
    std::size_t got = 0;
    while (got < buffer.size()) {
        const ssize_t n = ::read(fd, buffer.data() + got, buffer.size() - got);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return -1;
        }
        if (n == 0) {
            break;
        }
        got += static_cast<std::size_t>(n);
    }
    return static_cast<ssize_t>(got);
}

} // namespace

// Block by block: the first block that differs ends it.
int Matcher::Bytes(int a, int b, bool& differ) {
    bytesA_.resize(256 * 1024);
    bytesB_.resize(bytesA_.size());
    for (;;) {
        const ssize_t gotA = Fill(a, bytesA_);
        const ssize_t gotB = gotA < 0 ? -1 : Fill(b, bytesB_);
        if (gotA < 0 || gotB < 0) {
            return errno;
        }
        if (gotA != gotB ||
            std::memcmp(bytesA_.data(), bytesB_.data(), static_cast<std::size_t>(gotA)) != 0) {
            differ = true;
            return 0;
        }
        if (gotA == 0) {
            return 0;
        }
    }
}

} // namespace platform::posix

namespace platform {

using namespace posix;

int CompareTrees(const Below& a, const Below& b, bool& same,
                 const std::optional<FileTime>& readSince) {
    same = false;
    Reached atA;
    Reached atB;
    if (const int error = Reach(a, a.names.size(), false, atA); error != 0) {
        return error;
    }
    if (const int error = Reach(b, b.names.size(), false, atB); error != 0) {
        return error;
    }
    Fd dirA(::openat(atA.fd.Get(), ".", kDirFlags));
    Fd dirB(::openat(atB.fd.Get(), ".", kDirFlags));
    if (!dirA.Valid() || !dirB.Valid()) {
        return errno;
    }
    Comparer comparer(readSince);
    const int error = comparer.Trees(std::move(dirA), atA.node, std::move(dirB), atB.node);
    same = error == 0 && !comparer.differ;
    return error;
}

} // namespace platform
