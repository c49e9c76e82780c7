// The size of a folder as a copy would carry it, so that a run can say how far it has
// come and a dry run what it would copy; and its files by identity, so that the disk use of
// backups that share files counts each once. Apart from the copy, whose walk it follows:
// it only looks, and needs none of the copy's care.
#include "platform/posix/Tree.h"

#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <utility>
#include <vector>

namespace platform {

using namespace posix;

int ListFiles(const Below& path, const std::function<void(const FileIdentity&)>& visit) {
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
                visit({static_cast<std::uint64_t>(node.dev), static_cast<std::uint64_t>(node.ino),
                       node.links, static_cast<std::uint64_t>(node.size)});
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

int MeasureTree(const Below& path, TreeSize& size) {
    return ListFiles(path, [&size](const FileIdentity& file) {
        ++size.files;
        size.bytes += file.bytes;
    });
}

} // namespace platform
