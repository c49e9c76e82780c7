// POSIX side of the platform layer: profile and program folders, attribute tests,
// folder creation, whole-file reads and replacements, folder listing, launches.
#include "platform/Platform.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <pwd.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace platform {

namespace fs = std::filesystem;

std::string ProfileFolder() {
    // The home folder as the system reports it for this user: HOME first, as every
    // desktop program here sees it, then the password database.
    if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
        return home;
    }
    if (const passwd* pw = getpwuid(getuid()); pw != nullptr && pw->pw_dir != nullptr) {
        return pw->pw_dir;
    }
    return {};
}

std::string ProgramFolder() {
    std::error_code ec;
    const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    if (ec) {
        return {};
    }
    std::string folder = exe.parent_path().string();
    return folder.empty() ? std::string(kSepStr) : folder;
}

bool IsFolder(const std::string& path) {
    if (path.empty()) {
        return false;
    }
    std::error_code ec;
    return fs::is_directory(fs::status(path, ec));
}

bool IsFile(const std::string& path) {
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

PathState StateOf(const std::string& path) {
    struct stat st {};
    if (path.empty() || ::lstat(path.c_str(), &st) != 0) {
        return PathState::Missing;
    }
    return S_ISLNK(st.st_mode)   ? PathState::Link
           : S_ISDIR(st.st_mode) ? PathState::Folder
                                 : PathState::Other;
}

std::string ErrorText(int error) {
    return std::strerror(error);
}

int CheckWritable(const std::string& folder) {
    // A file without a name, so nothing is left should we be killed right here; where the
    // file system has no such files, a named one that goes at once.
    int fd = ::open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, S_IRUSR | S_IWUSR);
    if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR)) {
        const std::string probe = folder + kSepStr + ".dittoly-probe-" + std::to_string(::getpid());
        fd = ::open(probe.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, S_IRUSR | S_IWUSR);
        if (fd >= 0) {
            ::unlink(probe.c_str());
        }
    }
    if (fd < 0) {
        return errno;
    }
    ::close(fd);
    return 0;
}

void CreateFolderChain(const std::string& path) {
    if (path.empty()) {
        return;
    }
    std::error_code ec;
    fs::create_directories(path, ec);
}

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
    const bool written = WriteAll(fd, content);
    const bool closed = ::close(fd) == 0;
    if (!written || !closed || ::rename(tmp.c_str(), target.c_str()) != 0) {
        ::unlink(tmp.c_str());
        return false;
    }
    return true;
}

bool ListFolder(const std::string& folder,
                const std::function<bool(std::string_view name, EntryKind kind)>& visit) {
    const int dfd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd < 0) {
        return false;
    }
    DIR* dir = ::fdopendir(dfd);
    if (dir == nullptr) {
        ::close(dfd);
        return false;
    }
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(dir);
        if (entry == nullptr) {
            break;
        }
        const char* name = entry->d_name;
        if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) {
            continue;
        }
        if (name[0] == '.') {
            if (!visit(std::string_view(name), EntryKind::Hidden)) {
                break;
            }
            continue;
        }
        unsigned char type = entry->d_type;
        if (type == DT_UNKNOWN) {
            struct stat st {};
            if (::fstatat(dfd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
                continue; // vanished or unreadable: skipped, the listing goes on
            }
            type = S_ISREG(st.st_mode)   ? DT_REG
                   : S_ISDIR(st.st_mode) ? DT_DIR
                   : S_ISLNK(st.st_mode) ? DT_LNK
                                         : DT_UNKNOWN;
        }
        EntryKind kind = EntryKind::Other;
        if (type == DT_REG) {
            kind = EntryKind::File;
        } else if (type == DT_DIR) {
            kind = EntryKind::Folder;
        } else if (type == DT_LNK) {
            // A link counts as what it points to, as on Windows, but a link to a folder
            // is reported apart so that no walk ever enters it.
            struct stat st {};
            if (::fstatat(dfd, name, &st, 0) == 0) {
                kind = S_ISREG(st.st_mode)   ? EntryKind::File
                       : S_ISDIR(st.st_mode) ? EntryKind::LinkToFolder
                                             : EntryKind::Other;
            }
        }
        if (!visit(std::string_view(name), kind)) {
            break;
        }
    }
    ::closedir(dir);
    return true;
}

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
