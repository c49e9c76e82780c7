// How a complete copy takes the place of the old one, and what a killed copy, swap or
// removal leaves: the staging names and what each ending means, and the sweep with which
// the next run finishes or clears it. Apart from the copy itself, so that the crash rules
// read in one place.
#include "platform/posix/Tree.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <optional>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>
#include <utility>
#include <vector>

namespace platform::posix {

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
// so two runs at once never remove each other's work. A caller that holds the lock keeping
// every other run out ("exclusive") knows better than the pid: a reboot or another machine
// sharing the folder can make a dead run's pid look alive, even our own; under the lock every
// such name is a leftover.

std::string StageName(const std::string& name, int n, const char* end) {
    return "." + name + ".dittoly-" + std::to_string(::getpid()) + "-" + std::to_string(n) + "." +
           end;
}

// Too long a name leaves no room for the staging names.
bool StageFits(const std::string& name) {
    return name.size() + 40 <= NAME_MAX;
}

namespace {

// Ours by its name, and its process is gone (or, `exclusive`, whatever its process).
std::optional<Leftover> LeftoverOf(std::string_view entry, bool exclusive) {
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
        std::from_chars(first.ptr + 1, last, n).ptr != last || pid <= 0 ||
        (!exclusive &&
         (pid == ::getpid() || ::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH))) {
        return std::nullopt;
    }
    return Leftover{std::string(entry), std::string(entry.substr(1, tag - 1)), end, n};
}

} // namespace

// The leftovers in the folder open as `dir` (a bare reference will do) that `mine` picks.
// Only folders: every staging name the operations make is one, so a file or a link that
// merely looks like ours is never renamed into place or removed.
std::vector<Leftover> FindStaged(int dir, bool exclusive,
                                 const std::function<bool(const Leftover&)>& mine) {
    Fd list(::openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    std::vector<Leftover> found;
    if (list.Valid()) {
        ForEachEntry(list.Get(), [&](const char* entry, unsigned char type) {
            Node node;
            auto left = LeftoverOf(entry, exclusive);
            if (left &&
                (type == DT_DIR ||
                 (type == DT_UNKNOWN && StatAt(dir, entry, node) == 0 && S_ISDIR(node.mode))) &&
                mine(*left)) {
                found.push_back(std::move(*left));
            }
            return true;
        });
    }
    return found;
}

// Finishes or clears what ended processes (`exclusive`: any run) left in the folder open as
// `dir`, those that `mine` picks. A complete copy that was set aside or waiting ("old", "ready")
// takes its name back when the name is free; everything else goes.
void Sweep(int dir, const Node& home, bool exclusive,
           const std::function<bool(const Leftover&)>& mine) {
    std::vector<Leftover> found = FindStaged(dir, exclusive, mine);
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

} // namespace platform::posix

namespace platform {

using namespace posix;

void ClearLeftovers(const Below& folder, bool exclusive) {
    Reached at;
    if (Reach(folder, folder.names.size(), false, at) == 0) {
        Sweep(at.fd.Get(), at.node, exclusive, [](const Leftover&) { return true; });
    }
}

std::vector<std::string> FindLeftovers(const Below& folder) {
    Reached at;
    std::vector<std::string> names;
    if (Reach(folder, folder.names.size(), false, at) == 0) {
        for (Leftover& left : FindStaged(at.fd.Get(), true, [](const Leftover&) { return true; })) {
            names.push_back(std::move(left.entry));
        }
    }
    return names;
}

} // namespace platform
