// POSIX side of the program's own text files (settings, app list, log): their code page,
// whole-file reads, and replacements through a temporary file beside the file, with what
// killed writers left of those. Apart from the folder services, since these alone decide
// what a reader or a crash may see of a file.
#include "platform/Platform.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <optional>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace platform {

std::string ToFileText(std::string_view utf8) {
    return std::string(utf8);
}

std::string FromFileText(std::string_view bytes) {
    return std::string(bytes);
}

namespace {

// Opens a file for reading when it is one the program may read whole: a regular file (or
// one a link leads to) of at most kMaxTextFileBytes. O_NONBLOCK keeps the open of a pipe
// from waiting for a writer; a regular file does not notice it. -1 otherwise.
int OpenTextFile(const std::string& path, off_t& size) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        static_cast<std::uintmax_t>(st.st_size) > kMaxTextFileBytes) {
        ::close(fd);
        return -1;
    }
    size = st.st_size;
    return fd;
}

} // namespace

std::optional<std::string> ReadWholeFile(const std::string& path) {
    off_t size = 0;
    const int fd = OpenTextFile(path, size);
    if (fd < 0) {
        return std::nullopt;
    }
    // Read straight into the result, one byte more than the size: a file that grows past
    // the limit while it is read is as damaged as one that was too big from the start.
    std::string data(static_cast<std::size_t>(size) + 1, '\0');
    std::size_t got = 0;
    for (;;) {
        if (got == data.size()) {
            if (data.size() > kMaxTextFileBytes) {
                ::close(fd);
                return std::nullopt;
            }
            data.resize(std::min(2 * data.size(), kMaxTextFileBytes + 1));
        }
        const ssize_t n = ::read(fd, data.data() + got, data.size() - got);
        if (n == 0) {
            break;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            ::close(fd);
            return std::nullopt;
        }
        got += static_cast<std::size_t>(n);
    }
    ::close(fd);
    data.resize(got);
    return data;
}

TextFile TextFileAt(const std::string& path) {
    struct stat st {};
    if (!path.empty() && ::lstat(path.c_str(), &st) != 0 && errno == ENOENT) {
        return TextFile::Absent;
    }
    off_t size = 0;
    const int fd = OpenTextFile(path, size);
    if (fd < 0) {
        return TextFile::Unusable;
    }
    ::close(fd);
    return TextFile::Readable;
}

namespace {

bool WriteAll(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

} // namespace

namespace {

constexpr std::string_view kTemporaryMark = ".tmp-";
constexpr std::size_t kRandomPart = 6; // mkstemp's XXXXXX

// The process a temporary file "<leaf>.tmp-<pid>-XXXXXX" belongs to, or 0 when `name`
// is not one of those.
pid_t TemporaryOwner(std::string_view name, std::string_view leaf) {
    if (!name.starts_with(leaf) || !name.substr(leaf.size()).starts_with(kTemporaryMark)) {
        return 0;
    }
    std::string_view rest = name.substr(leaf.size() + kTemporaryMark.size());
    const std::size_t dash = rest.find('-');
    if (dash == 0 || dash == std::string_view::npos || dash > 9 ||
        rest.size() != dash + 1 + kRandomPart) {
        return 0;
    }
    pid_t pid = 0;
    for (const char c : rest.substr(0, dash)) {
        if (c < '0' || c > '9') {
            return 0;
        }
        pid = pid * 10 + (c - '0');
    }
    return pid;
}

// Removes the temporary files of `leaf` in `folder` that a killed run left: those whose
// process no longer exists. A live writer's file, ours included, is never touched.
void RemoveStaleTemporaries(const std::string& folder, std::string_view leaf) {
    const int dfd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd < 0) {
        return;
    }
    DIR* dir = ::fdopendir(dfd);
    if (dir == nullptr) {
        ::close(dfd);
        return;
    }
    while (const dirent* entry = ::readdir(dir)) {
        const pid_t owner = TemporaryOwner(entry->d_name, leaf);
        if (owner <= 0 || owner == ::getpid() || ::kill(owner, 0) == 0 || errno != ESRCH) {
            continue;
        }
        struct stat st {};
        if (::fstatat(dfd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode)) {
            ::unlinkat(dfd, entry->d_name, 0);
        }
    }
    ::closedir(dir);
}

} // namespace

bool ReplaceFile(const std::string& path, std::string_view content, bool throughLink) {
    if (path.empty() || path.back() == kSep) {
        return false;
    }
    std::string target = path;
    struct stat st {};
    if (throughLink && ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        char* resolved = ::realpath(path.c_str(), nullptr);
        if (resolved == nullptr) {
            return false; // dangling or looping: there is no file to write through to
        }
        target = resolved;
        std::free(resolved);
    }
    // The temporary file sits beside the file it replaces, so the rename never crosses a
    // file system; mkstemp gives it a name no other writer can hold, and the process id
    // in it tells a later run whether its writer is still alive.
    const std::size_t slash = target.rfind(kSep);
    const std::string folder = slash == std::string::npos ? "." : target.substr(0, slash + 1);
    const std::string_view leaf = std::string_view(target).substr(slash + 1);
    RemoveStaleTemporaries(folder, leaf);
    std::string tmp = target + std::string(kTemporaryMark) + std::to_string(::getpid()) + "-" +
                      std::string(kRandomPart, 'X');
    const int fd = ::mkstemp(tmp.data());
    if (fd < 0) {
        return false;
    }
    // The file keeps the permissions it had; a new one gets those an ordinary new file
    // would get, not mkstemp's 0600.
    mode_t mode = 0;
    if (::lstat(target.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
        mode = st.st_mode & 0777;
    } else {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        mode = 0666 & ~mask;
    }
    ::fchmod(fd, mode);
    // On the disk before the rename: a power cut after it must not find the name leading to
    // a file whose content never reached the disk. EINVAL: a file system with no flush.
    const bool written = WriteAll(fd, content) && (::fsync(fd) == 0 || errno == EINVAL);
    const bool closed = ::close(fd) == 0;
    if (!written || !closed || ::rename(tmp.c_str(), target.c_str()) != 0) {
        ::unlink(tmp.c_str());
        return false;
    }
    // And the rename itself, before the caller takes the new content for saved.
    const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) {
        return errno == EACCES; // a folder we may write but not read cannot be flushed
    }
    const bool synced = ::fsync(dir) == 0 || errno == EINVAL;
    ::close(dir);
    return synced;
}

} // namespace platform
