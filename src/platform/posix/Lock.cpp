// The lock that keeps two runs of the program (the window and the command line, or two of
// either) out of the same folders. An flock: the kernel drops it with the last descriptor of
// the open file, so a holder that is killed or crashes leaves no stale lock behind, and no
// process id has to be judged alive. It belongs to the open file, not to the process, so a
// second LockFile in this very process is kept out too, as the window and a run it starts
// must be.
#include "platform/posix/Tree.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace platform {

using namespace posix;

namespace {

// What the holder wrote: enough of it for a message, never a whole file of anything else.
std::string NoteIn(int fd) {
    std::string note(4096, '\0');
    const ssize_t n = ::pread(fd, note.data(), note.size(), 0);
    note.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return note;
}

// Opens the lock file `name` in the folder `dir`: made when missing, never through a link,
// and only a regular file on the folder's mount (O_NONBLOCK and O_NOCTTY so that a pipe or
// a terminal put there is not waited on or taken before it is turned away).
int OpenLock(int dir, const Node& home, const std::string& name, Fd& fd) {
    fd.Reset(::openat(dir, name.c_str(),
                      O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0666));
    Node node;
    if (!fd.Valid()) {
        return errno;
    }
    if (const int error = StatFd(fd.Get(), node); error != 0) {
        return error;
    }
    if (!S_ISREG(node.mode) || !SameMount(node, home)) {
        fd.Reset();
        return S_ISREG(node.mode) ? EXDEV : EINVAL;
    }
    return 0;
}

} // namespace

void FileLock::Release() {
    if (handle_ != kNone) {
        // The note goes with the lock: a file that names no one is held by no one, and the
        // folder it sits in looks the same after every run.
        static_cast<void>(::ftruncate(static_cast<int>(handle_), 0));
        ::close(static_cast<int>(handle_));
        handle_ = kNone;
    }
}

namespace {

// LockFile but for where a failure lies: `failed` names that far into `at`.
int TakeLock(const Below& at, const std::string& note, int waitMs, Fd& fd, std::string& holder,
             std::size_t& failed) {
    Reached parent;
    if (const int error = Reach(at, at.names.size() - 1, false, parent); error != 0) {
        failed = parent.failed;
        return error;
    }
    const std::string& name = at.names.back();
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    for (;;) {
        if (!fd.Valid()) {
            if (const int error = OpenLock(parent.fd.Get(), parent.node, name, fd); error != 0) {
                return error;
            }
        }
        if (::flock(fd.Get(), LOCK_EX | LOCK_NB) == 0) {
            // Still the file under that name? One removed or replaced meanwhile locks
            // nothing anyone else opens: the name is opened again.
            Node held;
            Node named;
            if (StatFd(fd.Get(), held) == 0 && StatAt(parent.fd.Get(), name.c_str(), named) == 0 &&
                SameNode(held, named)) {
                break;
            }
            fd.Reset();
            continue;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno != EWOULDBLOCK) {
            return errno;
        }
        const auto now = std::chrono::steady_clock::now();
        if (now >= until) {
            holder = NoteIn(fd.Get());
            return EWOULDBLOCK;
        }
        // flock cannot wait with a limit; a short poll notices a holder's end soon enough.
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
            until - now, std::chrono::milliseconds(25)));
    }
    if (::ftruncate(fd.Get(), 0) != 0) {
        return errno;
    }
    for (std::size_t done = 0; done < note.size();) {
        const ssize_t n =
            ::pwrite(fd.Get(), note.data() + done, note.size() - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return n == 0 ? EIO : errno;
        }
        done += static_cast<std::size_t>(n);
    }
    return 0;
}

} // namespace

int LockFile(const Below& at, const std::string& note, int waitMs, FileLock& lock,
             std::string& holder, FailedAt* where) {
    holder.clear();
    if (at.names.empty() || !IsPlainName(at.names.back())) {
        return EINVAL;
    }
    Fd fd;
    std::size_t failed = at.names.size();
    if (const int error = TakeLock(at, note, waitMs, fd, holder, failed); error != 0) {
        if (error != EWOULDBLOCK) {
            Tell(where, at, failed);
        }
        return error;
    }
    lock.Release();
    lock.handle_ = fd.Release();
    return 0;
}

std::string ThisProcess() {
    char host[HOST_NAME_MAX + 1] = {};
    if (::gethostname(host, sizeof host - 1) != 0) {
        host[0] = '\0';
    }
    return "process " + std::to_string(::getpid()) + " on " + host;
}

} // namespace platform
