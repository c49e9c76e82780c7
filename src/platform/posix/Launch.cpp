// POSIX side of the launches: the store-cache reset tool, started as a process of its own
// that outlives us, and the queued input, which is Qt's own here. Apart from the file
// services, since only these deal with other processes and the window system.
#include "platform/Platform.h"

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

namespace platform {

namespace {

bool StartDetached(const std::string& program) {
    // Double fork, so the started program is never our child to reap and lives on
    // after we end; the exec result travels back through a close-on-exec pipe.
    int pipefd[2];
    if (::pipe2(pipefd, O_CLOEXEC) != 0) {
        return false;
    }
    const pid_t child = ::fork();
    if (child < 0) {
        ::close(pipefd[0]);
        ::close(pipefd[1]);
        return false;
    }
    if (child == 0) {
        ::close(pipefd[0]);
        ::setsid();
        const pid_t grandchild = ::fork();
        if (grandchild != 0) {
            int err = grandchild < 0 ? errno : 0;
            if (err != 0) {
                [[maybe_unused]] auto n = ::write(pipefd[1], &err, sizeof err);
            }
            ::_exit(0);
        }
        char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
        ::execvp(program.c_str(), argv);
        int err = errno;
        [[maybe_unused]] auto n = ::write(pipefd[1], &err, sizeof err);
        ::_exit(127);
    }
    ::close(pipefd[1]);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    int err = 0;
    ssize_t n = 0;
    do {
        n = ::read(pipefd[0], &err, sizeof err);
    } while (n < 0 && errno == EINTR);
    ::close(pipefd[0]);
    return n == 0;
}

} // namespace

bool StartStoreCacheReset() {
    // This system has no such tool: a program of that name on the search path is
    // started, and without one the start fails.
    return StartDetached("wsreset.exe");
}

void DiscardQueuedInput() {}

} // namespace platform
