// POSIX side of the platform layer: profile and program folders, attribute tests,
// folder creation, whole-file reads and replacements, folder listing, launches.
#include "platform/Platform.h"

#include <cerrno>
#include <climits>
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
    if (path.empty()) {
        return false;
    }
    std::error_code ec;
    const auto st = fs::status(path, ec);
    return !ec && fs::exists(st) && !fs::is_directory(st);
}

bool IsMissing(const std::string& path) {
    struct stat st {};
    return !path.empty() && ::lstat(path.c_str(), &st) != 0 &&
           (errno == ENOENT || errno == ENOTDIR);
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

std::optional<std::string> ReadWholeFile(const std::string& path) {
    // O_NONBLOCK: a pipe in the file's place must not hang the read; fstat turns it away.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return std::nullopt;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        static_cast<std::size_t>(st.st_size) > kMaxTextFileBytes) {
        ::close(fd);
        return std::nullopt;
    }
    std::string data;
    char buffer[64 * 1024];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n == 0) {
            break;
        }
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            ::close(fd);
            return std::nullopt;
        }
        data.append(buffer, static_cast<std::size_t>(n));
        if (data.size() > kMaxTextFileBytes) {
            ::close(fd);
            return std::nullopt;
        }
    }
    ::close(fd);
    return data;
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

bool ReplaceFile(const std::string& path, std::string_view content, bool throughLink) {
    if (path.empty() || path.back() == kSep) {
        return false;
    }
    if (struct stat st{}; throughLink && ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        std::error_code ec;
        const fs::path target = fs::canonical(path, ec);
        return !ec && ReplaceFile(target.string(), content, false);
    }
    // The temporary file sits beside the target so the rename never crosses a file
    // system; mkstemp gives it a name no other writer can hold.
    std::string tmp = path + ".tmp-XXXXXX";
    const int fd = ::mkstemp(tmp.data());
    if (fd < 0) {
        return false;
    }
    // Keep the permissions an ordinary new file would get, not mkstemp's 0600.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd, 0666 & ~mask);
    const bool written = WriteAll(fd, content);
    const bool closed = ::close(fd) == 0;
    if (!written || !closed || ::rename(tmp.c_str(), path.c_str()) != 0) {
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

} // namespace platform
