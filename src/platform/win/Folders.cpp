// Windows folders and what stands at a path: the profile and program folders, attribute
// tests, folder creation, the writable check and the folder listing. Every call is the
// wide-character one, on the system path WinText.h makes.
#include "platform/Platform.h"
#include "platform/WinText.h"
#include "platform/win/FileHandle.h"

#include <windows.h>

#include <cerrno>
#include <shlobj.h>

namespace platform {

using win::FileHandle;
using win::Narrow;
using win::SystemPath;

namespace {

DWORD AttributesOf(const std::string& path) {
    const auto system = SystemPath(path);
    return system ? GetFileAttributesW(system->c_str()) : INVALID_FILE_ATTRIBUTES;
}

} // namespace

std::string ProfileFolder() {
    wchar_t buffer[MAX_PATH] = {};
    if (SHGetFolderPathW(nullptr, CSIDL_PROFILE, nullptr, SHGFP_TYPE_CURRENT, buffer) != S_OK) {
        return {};
    }
    return Narrow(buffer);
}

std::string ProgramFolder() {
    std::wstring file(MAX_PATH, L'\0');
    for (;;) {
        const DWORD got = GetModuleFileNameW(nullptr, file.data(), static_cast<DWORD>(file.size()));
        if (got == 0) {
            return {};
        }
        if (got < file.size()) {
            file.resize(got);
            break;
        }
        file.resize(file.size() * 2);
    }
    const std::size_t sep = file.find_last_of(L'\\');
    if (sep == std::wstring::npos) {
        return {};
    }
    // A program in a drive's root keeps the root's own separator: "C:\".
    const bool driveRoot = sep == 2 && file[1] == L':';
    return Narrow(std::wstring_view(file).substr(0, driveRoot ? sep + 1 : sep));
}

bool IsFolder(const std::string& path) {
    const DWORD attributes = AttributesOf(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool IsFile(const std::string& path) {
    const DWORD attributes = AttributesOf(path);
    if (attributes == INVALID_FILE_ATTRIBUTES ||
        (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0) {
        return false;
    }
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        return true;
    }
    // A link counts when what it finally leads to is a plain file on a disk.
    const FileHandle file(CreateFileW(SystemPath(path)->c_str(), FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    return file.Valid() && GetFileType(file.h) == FILE_TYPE_DISK &&
           GetFileInformationByHandle(file.h, &info) &&
           (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

PathState StateOf(const std::string& path) {
    const auto system = SystemPath(path);
    const DWORD attributes = system ? GetFileAttributesW(system->c_str()) : INVALID_FILE_ATTRIBUTES;
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        // What cannot be examined counts as something there, so nobody takes its place.
        const DWORD error = system ? GetLastError() : ERROR_INVALID_NAME;
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? PathState::Missing
                                                                              : PathState::Other;
    }
    return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? PathState::Link
           : (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0   ? PathState::Folder
                                                            : PathState::Other;
}

int CheckWritable(const std::string& folder) {
    win::ForgetErrors();
    const auto system = SystemPath(folder);
    if (!system) {
        return EINVAL;
    }
    const std::wstring probe =
        win::Join(*system, L".dittoly-probe-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                               std::to_wstring(GetTickCount64()));
    const FileHandle file(CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                      FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
    DWORD put = 0;
    if (!file.Valid() || !WriteFile(file.h, "x", 1, &put, nullptr)) {
        return win::ErrnoOf(GetLastError());
    }
    // A byte fits in the file's own record even on a full volume: its free space tells.
    ULARGE_INTEGER free{};
    return GetDiskFreeSpaceExW(system->c_str(), &free, nullptr, nullptr) && free.QuadPart == 0
               ? ENOSPC
               : 0;
}

void CreateFolderChain(const std::string& path) {
    const auto system = SystemPath(path);
    if (!system) {
        return;
    }
    // One level at a time below the volume's root ("\\?\C:\" or "\\?\UNC\server\share\"),
    // each failure ignored: the ones that exist already are the usual case.
    const std::wstring& p = *system;
    std::size_t at =
        p.starts_with(L"\\\\?\\UNC\\") ? p.find(L'\\', p.find(L'\\', 8) + 1) : p.find(L'\\', 4);
    while (at != std::wstring::npos && at + 1 < p.size()) {
        at = p.find(L'\\', at + 1);
        CreateDirectoryW(p.substr(0, at).c_str(), nullptr);
    }
}

bool ListFolder(const std::string& folder,
                const std::function<bool(std::string_view name, EntryKind kind)>& visit) {
    const auto system = SystemPath(folder);
    if (!system) {
        return false;
    }
    WIN32_FIND_DATAW entry;
    const HANDLE find = FindFirstFileExW(win::Join(*system, L"*").c_str(), FindExInfoBasic, &entry,
                                         FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (find == INVALID_HANDLE_VALUE) {
        // Only a drive's root has no "." entry: there, nothing found is an empty folder.
        return GetLastError() == ERROR_FILE_NOT_FOUND;
    }
    do {
        const std::wstring_view name = entry.cFileName;
        if (name == L"." || name == L"..") {
            continue;
        }
        const DWORD a = entry.dwFileAttributes;
        EntryKind kind = EntryKind::File;
        if ((a & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)) != 0) {
            kind = EntryKind::Hidden;
        } else if ((a & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            // A junction or a link to a folder is never entered by a walk.
            kind = (a & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? EntryKind::LinkToFolder
                                                           : EntryKind::Folder;
        } else if ((a & FILE_ATTRIBUTE_DEVICE) != 0) {
            kind = EntryKind::Other;
        }
        if (!visit(Narrow(name), kind)) {
            break;
        }
    } while (FindNextFileW(find, &entry));
    FindClose(find);
    return true;
}

} // namespace platform
