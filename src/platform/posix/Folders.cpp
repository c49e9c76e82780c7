// POSIX side of the platform layer's plain path services: profile and program folders,
// attribute tests, error texts, the writable check, folder creation and folder listing.
// Apart from the tree operations (Tree*.cpp): these take a path as the system resolves it,
// where those open one name at a time below a trusted root.
#include "platform/Platform.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <pwd.h>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>
#include <vector>

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
    // The folders missing now, each flushed into the folder above once made, so that a
    // power cut cannot take away a folder that a copy made into it then relies on.
    fs::path end = fs::path(path).lexically_normal();
    end = end.has_filename() ? end : end.parent_path();
    std::vector<fs::path> missing;
    struct stat st {};
    for (fs::path at = end; !at.empty() && ::stat(at.c_str(), &st) != 0 && errno == ENOENT;
         at = at.parent_path()) {
        missing.push_back(at);
    }
    std::error_code ec;
    fs::create_directories(end, ec);
    for (auto at = missing.rbegin(); at != missing.rend() && !ec; ++at) {
        const fs::path above = at->has_parent_path() ? at->parent_path() : fs::path(".");
        const int fd = ::open(above.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd >= 0) {
            ::fsync(fd);
            ::close(fd);
        }
    }
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

} // namespace platform
