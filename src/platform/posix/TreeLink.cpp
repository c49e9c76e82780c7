// The links a copy takes instead of copies: a later name of a file it already copied, and
// a file that did not change since the copy it replaces read it (see
// CopyOptions::linkUnchanged). Whatever keeps a link from being made only means the file is
// copied. Apart from the copy itself (TreeCopy.cpp), which asks here first for every file.
#include "platform/posix/Copier.h"

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace platform::posix {

// The old copy's folder follows the walk one level down, where it has one of that name.
void Copier::Descend(const std::string& name) {
    if (!oldKnown_ || oldLevel_ + 2 != stack_.size()) {
        return;
    }
    Fd child(::openat(old_.Get(), name.c_str(), kPathFlags));
    Node node;
    if (child.Valid() && StatFd(child.Get(), node) == 0 && S_ISDIR(node.mode) &&
        SameMount(node, stack_.front().old)) {
        old_ = std::move(child);
        stack_.back().old = node;
        ++oldLevel_;
    }
}

// And back up with the walk, checked to be where it came from; lost, linking stops.
void Copier::Ascend() {
    if (!oldKnown_ || oldLevel_ + 1 != stack_.size() || oldLevel_ == 0) {
        return;
    }
    Fd up;
    if (Climb(old_.Get(), stack_[oldLevel_ - 1].old, up) != 0) {
        oldKnown_ = false;
        old_.Reset();
        return;
    }
    old_ = std::move(up);
    --oldLevel_;
}

// Where `name` of the folder being filled sits in the copy, from its top; and as names.
std::string Copier::PathInCopy(const char* name) const {
    std::string path;
    for (std::size_t i = 1; i < stack_.size(); ++i) {
        path += stack_[i].name + '/';
    }
    return path + name;
}

std::vector<std::string> Copier::NamesInCopy(const char* name) const {
    std::vector<std::string> names;
    for (std::size_t i = 1; i < stack_.size(); ++i) {
        names.push_back(stack_[i].name);
    }
    if (name != nullptr && *name != '\0') {
        names.emplace_back(name);
    }
    return names;
}

int Copier::Link(int fromDir, const char* from, int dstDir, const char* name) const {
    if (options_.refuseLinks != 0) {
        return options_.refuseLinks;
    }
    return ::linkat(fromDir, from, dstDir, name, 0) == 0 ? 0 : errno;
}

// A later name of a file of the source with several names becomes a name of its copy, as
// the first name of it made it. True when done; false to copy it instead, which is always
// right, whatever kept the link from being made. The first name is remembered.
bool Copier::SecondName(const Node& node, int dstDir, const char* name) {
    const auto [seen, first] = namesSeen_.try_emplace({node.dev, node.ino});
    if (first) {
        seen->second.path = PathInCopy(name);
        return false;
    }
    if (Link(stage_, seen->second.path.c_str(), dstDir, name) != 0) {
        return false;
    }
    ++(seen->second.fromOld ? stats.linked : stats.copied);
    Done(static_cast<std::uint64_t>(node.size));
    return true;
}

// A file unchanged since the old copy read it becomes a name of the old copy's file. True
// when done; false to copy it instead (as SecondName).
bool Copier::FromOld(int srcDir, int dstDir, const char* name) {
    Node node;
    Node was;
    if (StatAt(srcDir, name, node) != 0 || !S_ISREG(node.mode) || !SameMount(node, home_) ||
        StatAt(old_.Get(), name, was) != 0 || !S_ISREG(was.mode) ||
        !SameMount(was, stack_.front().old) || !CarriedEqual(node, was, root_)) {
        return false; // the copy's own checks take it from here
    }
    if (node.links > 1 && SecondName(node, dstDir, name)) {
        return true;
    }
    if (!UnchangedSince(node, was, options_.readSince, root_)) {
        // Changed within the moment the old copy read it, or that moment unknown: only the
        // bytes and attributes can tell.
        constexpr int kFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
        Fd a(::openat(srcDir, name, kFlags));
        Fd b(::openat(old_.Get(), name, kFlags));
        bool differ = !a.Valid() || !b.Valid();
        if (differ || matcher_.Values(a.Get(), b.Get(), differ) != 0 || differ ||
            matcher_.Bytes(a.Get(), b.Get(), differ) != 0 || differ) {
            return false;
        }
    }
    if (Link(old_.Get(), name, dstDir, name) != 0) {
        return false;
    }
    if (node.links > 1) {
        namesSeen_[{node.dev, node.ino}].fromOld = true;
    }
    ++stats.linked;
    Done(static_cast<std::uint64_t>(node.size));
    return true;
}

} // namespace platform::posix
