// The safe walk of the Windows tree operations: how a folder below a trusted root is
// reached, held and listed, and what it is.
//
// The Win32 calls take paths, not folders opened before, so a folder is entered only
// while we hold it open: opened without following a link (FILE_FLAG_OPEN_REPARSE_POINT),
// checked by name and by handle to be a real folder, and not shared for deletion, so
// nobody can rename it or put a junction in its place while we work inside it. A reparse
// point (junction, symbolic link, anything else) is never entered and never copied; a
// delete removes it as itself, never what it leads to.
#include "platform/win/Tree.h"

#include <algorithm>
#include <cwchar>

namespace platform::wintree {

namespace {

// What others may still do with a folder we hold: read and write inside it, not rename
// or delete it.
constexpr DWORD kHoldShare = FILE_SHARE_READ | FILE_SHARE_WRITE;

// Only a name the system gives no second meaning: no separator, no stream (":"), no
// wildcard, no device-style trick, not "." or "..".
std::optional<std::wstring> Leaf(const std::string& name) {
    auto wide = win::Wide(name);
    if (!wide || wide->empty() || *wide == L"." || *wide == L"..") {
        return std::nullopt;
    }
    for (const wchar_t c : *wide) {
        if (c < 0x20 || std::wcschr(L"\\/:*?\"<>|", c) != nullptr) {
            return std::nullopt;
        }
    }
    return wide;
}

} // namespace

// Present unless the system says plainly that nothing is there: what we cannot examine
// is treated as there, so no decision below overwrites or drops it.
bool Exists(const std::wstring& path) {
    if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) {
        return true;
    }
    const DWORD error = GetLastError();
    return error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND;
}

// Opens the folder at `path` and holds it (see above). Unless `followLinks` (only for the
// trusted root), a link is refused whether its name or the opened object shows it. Sets
// `error` to 0 or an errno, and `attributes` to the folder's own.
Handle HoldFolder(const std::wstring& path, bool followLinks, int& error, DWORD* attributes) {
    const DWORD byName = GetFileAttributesW(path.c_str());
    if (byName == INVALID_FILE_ATTRIBUTES) {
        error = LastErrno();
        return {};
    }
    if (!followLinks && IsLink(byName)) {
        error = ELOOP;
        return {};
    }
    Handle folder(CreateFileW(path.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES, kHoldShare,
                              nullptr, OPEN_EXISTING,
                              followLinks ? FILE_FLAG_BACKUP_SEMANTICS : kNotFollowed, nullptr));
    FILE_ATTRIBUTE_TAG_INFO info{};
    if (!folder.Valid() ||
        !GetFileInformationByHandleEx(folder.Get(), FileAttributeTagInfo, &info, sizeof info)) {
        error = LastErrno();
        return {};
    }
    error = !followLinks && IsLink(info.FileAttributes) ? ELOOP
            : !IsDirectory(info.FileAttributes)         ? ENOTDIR
                                                        : 0;
    if (attributes != nullptr) {
        *attributes = info.FileAttributes;
    }
    return error == 0 ? std::move(folder) : Handle();
}

// The root, however the system resolves it, and the first `depth` names below it, each
// held for as long as the chain lives. With `made`, missing folders are created first
// (the root with its parents as CreateFolderChain does), and those below the root that
// this call created are listed there.
Chain::Chain(const Below& at, std::size_t depth, std::vector<std::wstring>* made) {
    const auto root = win::SystemPath(at.root);
    if (!root) {
        error = EINVAL;
        return;
    }
    path = *root;
    if (path.size() > 7 && path.back() == L'\\' && !path.ends_with(L":\\")) {
        path.pop_back(); // "…\Backup\" is the folder "…\Backup"
    }
    if (made != nullptr) {
        CreateFolderChain(at.root);
    }
    held.push_back(HoldFolder(path, true, error));
    for (std::size_t i = 0; error == 0 && i < depth; ++i) {
        failed = i + 1;
        const auto name = Leaf(at.names[i]);
        if (!name) {
            error = EINVAL;
            return;
        }
        path = Join(path, *name);
        if (made != nullptr) {
            if (CreateDirectoryW(path.c_str(), nullptr)) {
                made->push_back(path);
            } else if (GetLastError() != ERROR_ALREADY_EXISTS) {
                error = LastErrno();
                return;
            }
        }
        held.push_back(HoldFolder(path, false, error));
    }
}

// The last name of `at` below its held parent, the form every operation starts from.
// `error` is EINVAL for a name that is missing or not one plain name, else the parent's.
Target::Target(const Below& at) : parent(at, at.names.empty() ? 0 : at.names.size() - 1) {
    const auto name = at.names.empty() ? std::nullopt : Leaf(at.names.back());
    if (name) {
        leaf = *name;
        path = Join(parent.path, leaf);
        error = parent.error;
    }
}

void Tell(FailedAt* where, const Below& at, std::size_t names,
          const std::vector<std::string>& inside) {
    if (where != nullptr) {
        where->root = at.root;
        where->names.assign(at.names.begin(),
                            at.names.begin() + static_cast<std::ptrdiff_t>(names));
        where->names.insert(where->names.end(), inside.begin(), inside.end());
    }
}

void Tell(FailedAt* where, const Below& at, const Chain& chain) {
    if (chain.error != 0) {
        Tell(where, at, chain.failed);
    }
}

void Tell(FailedAt* where, const std::wstring& path, const std::wstring& base, const Below& at) {
    if (where == nullptr) {
        return;
    }
    if (path == base || (path.starts_with(base) && path[base.size()] == L'\\')) {
        std::vector<std::string> inside;
        for (std::size_t from = base.size() + 1; from < path.size() + 1;) {
            const std::size_t end = std::min(path.find(L'\\', from), path.size());
            inside.push_back(win::Narrow(std::wstring_view(path).substr(from, end - from)));
            from = end + 1;
        }
        Tell(where, at, at.names.size(), inside);
        return;
    }
    // As the user writes it, without the prefix every call gets.
    std::wstring_view shown = path;
    const bool unc = shown.starts_with(L"\\\\?\\UNC\\");
    shown.remove_prefix(unc ? 8 : shown.starts_with(L"\\\\?\\") ? 4 : 0);
    *where = {(unc ? "\\\\" : "") + win::Narrow(shown), {}};
}

// The whole listing of `folder` first, so deleting while we go cannot make the system
// skip a name. False, with the system's error set, when it could not be read to its end
// (or, with a `pattern`, when nothing matched).
bool ListEntries(const std::wstring& folder, std::vector<Entry>& entries,
                 std::wstring_view pattern) {
    WIN32_FIND_DATAW data;
    const HANDLE find = FindFirstFileExW(Join(folder, pattern).c_str(), FindExInfoBasic, &data,
                                         FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (find == INVALID_HANDLE_VALUE) {
        return false;
    }
    do {
        const std::wstring_view name = data.cFileName;
        if (name != L"." && name != L"..") {
            entries.push_back({std::wstring(name), data.dwFileAttributes,
                               (std::uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow});
        }
    } while (FindNextFileW(find, &data));
    const DWORD error = GetLastError();
    FindClose(find);
    SetLastError(error);
    return error == ERROR_NO_MORE_FILES;
}

namespace {

// The final path of an open file or folder, as the system resolves it; empty on failure.
std::wstring FinalPath(const Handle& handle) {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD got =
            GetFinalPathNameByHandleW(handle.Get(), path.data(), static_cast<DWORD>(path.size()),
                                      FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (got == 0) {
            return {};
        }
        if (got < path.size()) {
            path.resize(got);
            return path;
        }
        path.resize(got + 1);
    }
}

bool SameIgnoringCase(std::wstring_view a, std::wstring_view b) {
    return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                                static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

} // namespace

// EINVAL when a copy of `source` into `into` under `name` would land on the source
// itself or inside it, where it would chase its own output.
int RefuseOwnSubtree(const Handle& source, const Handle& into, const std::wstring& name) {
    const std::wstring from = FinalPath(source);
    const std::wstring to = FinalPath(into);
    if (from.empty() || to.empty()) {
        return LastErrno(); // cannot tell, so no copy
    }
    const bool below = to.size() > from.size() && to[from.size()] == L'\\' &&
                       SameIgnoringCase(std::wstring_view(to).substr(0, from.size()), from);
    return SameIgnoringCase(to, from) || below || SameIgnoringCase(Join(to, name), from) ? EINVAL
                                                                                         : 0;
}

bool SameVolume(const Handle& one, const Handle& other) {
    BY_HANDLE_FILE_INFORMATION a{};
    BY_HANDLE_FILE_INFORMATION b{};
    return GetFileInformationByHandle(one.Get(), &a) &&
           GetFileInformationByHandle(other.Get(), &b) &&
           a.dwVolumeSerialNumber == b.dwVolumeSerialNumber;
}

} // namespace platform::wintree

namespace platform {

using namespace wintree;

std::optional<FolderFacts> InspectFolder(const Below& path) {
    const Target at(path);
    int error = at.error;
    const Handle held = error == 0 ? HoldFolder(at.path, false, error) : Handle();
    BY_HANDLE_FILE_INFORMATION info{};
    if (error != 0 || !GetFileInformationByHandle(held.Get(), &info)) {
        return std::nullopt;
    }
    wchar_t identity[32];
    std::swprintf(identity, 32, L"%08lx-%08lx%08lx", info.dwVolumeSerialNumber, info.nFileIndexHigh,
                  info.nFileIndexLow);
    // FILETIME counts 100 ns steps from 1601; Unix time counts seconds from 1970.
    const auto written =
        static_cast<std::int64_t>((std::uint64_t{info.ftLastWriteTime.dwHighDateTime} << 32) |
                                  info.ftLastWriteTime.dwLowDateTime);
    return FolderFacts{win::Narrow(identity), (written - 116444736000000000) / 10000000};
}

bool MakeFolder(const Below& path) {
    const Target at(path);
    if (at.error != 0) {
        return false;
    }
    const std::wstring& target = at.path;
    if (!CreateDirectoryW(target.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
        return false;
    }
    const DWORD attributes = GetFileAttributesW(target.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && IsDirectory(attributes) && !IsLink(attributes);
}

bool MakeFolderChain(const Below& path) {
    CreateFolderChain(path.root);
    Below upTo{path.root, {}};
    for (const std::string& name : path.names) {
        upTo.names.push_back(name);
        if (!MakeFolder(upTo)) {
            return false;
        }
    }
    return IsFolder(path.root);
}

} // namespace platform
