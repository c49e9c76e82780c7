// Windows side of the tree operations: the whole-folder copy behind a backup or restore
// and the whole-folder delete.
//
// The Win32 calls take paths, not folders opened before, so a folder is entered only
// while we hold it open: opened without following a link (FILE_FLAG_OPEN_REPARSE_POINT),
// checked by name and by handle to be a real folder, and not shared for deletion, so
// nobody can rename it or put a junction in its place while we work inside it. A reparse
// point (junction, symbolic link, anything else) is never entered and never copied; a
// delete removes it as itself, never what it leads to.
//
// A copy is built in a staging folder beside the old one. Windows cannot exchange two
// folders in one step, so the old one is renamed aside (or to where it is kept), the
// staging folder renamed into place, then the old one removed. A marker, written only once
// the staging folder is complete, tells the next copy into the same folder whether to
// finish such a swap or to undo it, so one whole state always survives a kill. A lock file
// held for the whole copy keeps a second copy of the same name from taking a live copy's
// staging folder for a killed one's.
#include "platform/Platform.h"
#include "platform/WinText.h"

#include <windows.h>

#include <cerrno>
#include <cstdint>
#include <cwchar>
#include <vector>

namespace platform {

namespace {

using win::Join;

constexpr DWORD kNotFollowed = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;
// What others may still do with a folder we hold: read and write inside it, not rename
// or delete it.
constexpr DWORD kHoldShare = FILE_SHARE_READ | FILE_SHARE_WRITE;
constexpr DWORD kCopiedAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                    FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                    FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
// Far deeper than any app's data goes; keeps the recursion well inside the stack.
constexpr int kMaxDepth = 400;

int LastErrno() {
    return win::ErrnoOf(GetLastError());
}

bool IsLink(DWORD attributes) {
    return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

bool IsDirectory(DWORD attributes) {
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

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

// Present unless the system says plainly that nothing is there: what we cannot examine
// is treated as there, so no decision below overwrites or drops it.
bool Exists(const std::wstring& path) {
    if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) {
        return true;
    }
    const DWORD error = GetLastError();
    return error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND;
}

class Handle {
public:
    Handle() = default;
    explicit Handle(HANDLE h) : h_(h) {}
    ~Handle() {
        if (Valid()) {
            CloseHandle(h_);
        }
    }
    Handle(Handle&& other) noexcept : h_(other.h_) { other.h_ = INVALID_HANDLE_VALUE; }
    Handle& operator=(Handle&& other) noexcept {
        std::swap(h_, other.h_);
        return *this;
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    bool Valid() const { return h_ != INVALID_HANDLE_VALUE && h_ != nullptr; }
    HANDLE Get() const { return h_; }

private:
    HANDLE h_ = INVALID_HANDLE_VALUE;
};

// Opens the folder at `path` and holds it (see above). Unless `followLinks` (only for the
// trusted root), a link is refused whether its name or the opened object shows it. Sets
// `error` to 0 or an errno, and `attributes` to the folder's own.
Handle HoldFolder(const std::wstring& path, bool followLinks, int& error,
                  DWORD* attributes = nullptr) {
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
struct Chain {
    std::wstring path;
    std::vector<Handle> held;
    int error = 0;

    Chain(const Below& at, std::size_t depth, std::vector<std::wstring>* made = nullptr) {
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
};

// The last name of `at` below its held parent, the form every operation starts from.
// `error` is EINVAL for a name that is missing or not one plain name, else the parent's.
struct Target {
    Chain parent;
    std::wstring leaf;
    std::wstring path;
    int error = EINVAL;

    explicit Target(const Below& at) : parent(at, at.names.empty() ? 0 : at.names.size() - 1) {
        const auto name = at.names.empty() ? std::nullopt : Leaf(at.names.back());
        if (name) {
            leaf = *name;
            path = Join(parent.path, leaf);
            error = parent.error;
        }
    }
};

// Every error is remembered once, the first one wins. Links and devices are skipped on
// purpose; anything else that goes wrong means something that belongs is missing. A
// removal also counts the files it removed, for its progress.
struct Outcome {
    int first = 0;
    int failures = 0;
    bool incomplete = false;
    TreeProgress* progress = nullptr;
    std::uint64_t removed = 0;
    void Removed() {
        if (progress != nullptr) {
            progress->Advance(++removed, 0); // a removal goes on whatever the answer
        }
    }
    void Skip(int error) {
        ++failures;
        if (first == 0) {
            first = error != 0 ? error : EIO;
        }
    }
    void Fail(int error) {
        Skip(error);
        incomplete = true;
    }
};

struct Entry {
    std::wstring name;
    DWORD attributes;
    std::uint64_t size;
};

// The whole listing of `folder` first, so deleting while we go cannot make the system
// skip a name. False, with the system's error set, when it could not be read to its end
// (or, with a `pattern`, when nothing matched).
bool ListEntries(const std::wstring& folder, std::vector<Entry>& entries,
                 std::wstring_view pattern = L"*") {
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

DWORD SettableAttributes(DWORD attributes) {
    attributes &= kCopiedAttributes;
    return attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL;
}

// ---------------------------------------------------------------------------------
// Remove

void RemoveEntry(const std::wstring& path, DWORD attributes, Outcome& outcome, int depth);

// The read-only attribute goes first, as the shell's delete clears it; should the delete
// still fail, the file keeps the attributes it had.
bool RemoveFile(const std::wstring& path, DWORD attributes) {
    const bool readOnly = (attributes & FILE_ATTRIBUTE_READONLY) != 0;
    if (readOnly) {
        SetFileAttributesW(path.c_str(), SettableAttributes(attributes & ~FILE_ATTRIBUTE_READONLY));
    }
    if (DeleteFileW(path.c_str())) {
        return true;
    }
    const DWORD error = GetLastError();
    if (readOnly) {
        SetFileAttributesW(path.c_str(), SettableAttributes(attributes));
    }
    SetLastError(error);
    return false;
}

void RemoveFolder(const std::wstring& path, DWORD attributes, Outcome& outcome, int depth) {
    if (depth > kMaxDepth) {
        outcome.Fail(ENAMETOOLONG);
        return;
    }
    // A file another program still holds open is only marked for deletion and keeps the
    // folder from going until it is closed: a few passes give it that moment.
    for (int pass = 0; pass < 3; ++pass) {
        const int failedBefore = outcome.failures;
        {
            int error = 0;
            const Handle held = HoldFolder(path, false, error);
            if (error == ELOOP) {
                // Turned into a link since it was listed: it goes as a link.
                if (!RemoveDirectoryW(path.c_str())) {
                    outcome.Fail(LastErrno());
                }
                return;
            }
            std::vector<Entry> entries;
            if (error != 0 || !ListEntries(path, entries)) {
                outcome.Fail(error != 0 ? error : LastErrno());
            }
            for (const Entry& entry : entries) {
                RemoveEntry(Join(path, entry.name), entry.attributes, outcome, depth + 1);
            }
        }
        if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) {
            SetFileAttributesW(path.c_str(),
                               SettableAttributes(attributes & ~FILE_ATTRIBUTE_READONLY));
        }
        if (RemoveDirectoryW(path.c_str())) {
            return;
        }
        const DWORD error = GetLastError();
        if (error != ERROR_DIR_NOT_EMPTY || outcome.failures != failedBefore || pass == 2) {
            // Something inside could not go: the folder stays, and that is reported.
            outcome.Fail(win::ErrnoOf(error));
            return;
        }
        Sleep(20 * (pass + 1));
    }
}

void RemoveEntry(const std::wstring& path, DWORD attributes, Outcome& outcome, int depth) {
    if (IsLink(attributes)) {
        // The link itself goes; what it leads to is never touched.
        const bool removed =
            IsDirectory(attributes) ? RemoveDirectoryW(path.c_str()) : DeleteFileW(path.c_str());
        if (!removed) {
            outcome.Fail(LastErrno());
        }
    } else if (IsDirectory(attributes)) {
        RemoveFolder(path, attributes, outcome, depth);
    } else if (!RemoveFile(path, attributes)) {
        outcome.Fail(LastErrno());
    } else {
        outcome.Removed();
    }
}

// Removes whatever holds `path` (missing is fine); 0 or the first error.
int RemoveWhole(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return Exists(path) ? LastErrno() : 0;
    }
    Outcome outcome;
    RemoveEntry(path, attributes, outcome, 0);
    return outcome.first;
}

// ---------------------------------------------------------------------------------
// Copy

class Copier {
public:
    Outcome outcome;
    // Set once the progress asked the copy to stop; every loop ends at once then.
    bool stopped = false;
    std::uint64_t files = 0;
    std::uint64_t bytes = 0;

    explicit Copier(TreeProgress* progress) : progress_(progress) {}

    // Copies what is in the held folder `from` into the new, empty folder `to`.
    void CopyContents(const std::wstring& from, const std::wstring& to, int depth) {
        if (depth > kMaxDepth) {
            outcome.Fail(ENAMETOOLONG);
            return;
        }
        std::vector<Entry> entries;
        if (!ListEntries(from, entries)) {
            outcome.Fail(LastErrno());
        }
        for (const Entry& entry : entries) {
            if (stopped) {
                return;
            }
            withinFile_ = 0;
            const std::wstring source = Join(from, entry.name);
            const std::wstring target = Join(to, entry.name);
            if (IsLink(entry.attributes) || (entry.attributes & FILE_ATTRIBUTE_DEVICE) != 0) {
                // Links and devices have no place in a backup of app data: skipped, and
                // the copy reports itself incomplete.
                outcome.Skip(IsLink(entry.attributes) ? ELOOP : EINVAL);
            } else if (IsDirectory(entry.attributes)) {
                CopyFolder(source, target, depth + 1);
            } else if (!CopyFileExW(source.c_str(), target.c_str(),
                                    progress_ != nullptr ? &Within : nullptr, this, nullptr,
                                    COPY_FILE_COPY_SYMLINK | COPY_FILE_FAIL_IF_EXISTS)) {
                outcome.Fail(stopped ? ECANCELED : LastErrno());
            } else if (IsLink(GetFileAttributesW(target.c_str()))) {
                // Swapped for a link since the listing: the link was copied as a link,
                // and goes again.
                DeleteFileW(target.c_str());
                outcome.Skip(ELOOP);
            } else {
                ++files;
                bytes += entry.size;
                stopped = progress_ != nullptr && !progress_->Advance(files, bytes);
            }
        }
    }

    // Attributes and times of `to` from the held folder `from`; last, because every
    // entry put into `to` moved its times.
    void CopyLook(const Handle& from, DWORD attributes, const std::wstring& to) {
        FILETIME created{};
        FILETIME accessed{};
        FILETIME written{};
        const Handle target(CreateFileW(to.c_str(), FILE_WRITE_ATTRIBUTES,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, kNotFollowed, nullptr));
        if (!target.Valid() || !GetFileTime(from.Get(), &created, &accessed, &written) ||
            !SetFileTime(target.Get(), &created, &accessed, &written)) {
            outcome.Fail(LastErrno());
        }
        if ((attributes & kCopiedAttributes) != 0 &&
            !SetFileAttributesW(to.c_str(), SettableAttributes(attributes))) {
            outcome.Fail(LastErrno());
        }
    }

private:
    TreeProgress* progress_;
    std::uint64_t withinFile_ = 0; // bytes of the current file last reported

    // CopyFileEx's progress routine: reports every few megabytes of a large file, and
    // cancels the file's copy (which then removes its part-written copy) on a stop.
    static DWORD CALLBACK Within(LARGE_INTEGER, LARGE_INTEGER done, LARGE_INTEGER, LARGE_INTEGER,
                                 DWORD, DWORD, HANDLE, HANDLE, LPVOID self) {
        auto& copier = *static_cast<Copier*>(self);
        const auto now = static_cast<std::uint64_t>(done.QuadPart);
        if (now >= copier.withinFile_ + (std::uint64_t{4} << 20)) {
            copier.withinFile_ = now;
            copier.stopped = !copier.progress_->Advance(copier.files, copier.bytes + now);
        }
        return copier.stopped ? PROGRESS_CANCEL : PROGRESS_CONTINUE;
    }

    void CopyFolder(const std::wstring& from, const std::wstring& to, int depth) {
        int error = 0;
        DWORD attributes = 0;
        const Handle held = HoldFolder(from, false, error, &attributes);
        if (error != 0) {
            // Swapped for a link since the listing counts as a link; unreadable means
            // something is missing.
            error == ELOOP ? outcome.Skip(error) : outcome.Fail(error);
            return;
        }
        if (!CreateDirectoryW(to.c_str(), nullptr)) {
            outcome.Fail(LastErrno());
            return;
        }
        {
            // Held while it fills, so a junction put in its place cannot take our writes.
            const Handle filling = HoldFolder(to, false, error);
            if (error != 0) {
                outcome.Fail(error);
                return;
            }
            CopyContents(from, to, depth);
        }
        if (!stopped) {
            CopyLook(held, attributes, to);
        }
    }
};

// The progress of a second copy that goes on counting from where the first one ended.
class CountingOn final : public TreeProgress {
public:
    CountingOn(TreeProgress& inner, std::uint64_t files, std::uint64_t bytes)
        : inner_(inner), files_(files), bytes_(bytes) {}
    bool Advance(std::uint64_t files, std::uint64_t bytes) override {
        return inner_.Advance(files_ + files, bytes_ + bytes);
    }

private:
    TreeProgress& inner_;
    std::uint64_t files_;
    std::uint64_t bytes_;
};

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

// The names one copy into a folder works with: the current copy, the one being built,
// the one set aside during the swap, the marker that says the one being built is
// complete, and the lock. All carry the copied folder's name, so a later copy of the same
// folder finds them.
struct Swap {
    std::wstring current;
    std::wstring staging;
    std::wstring aside;
    std::wstring marker;
    std::wstring lock;

    Swap(const std::wstring& folder, const std::wstring& name)
        : current(Join(folder, name)), staging(current + L".dittoly-new"),
          aside(current + L".dittoly-old"), marker(current + L".dittoly-ready"),
          lock(current + L".dittoly-lock") {}

    // Held for the whole copy, and gone with the handle, even when the process is killed.
    // Invalid while another copy of the same name into the same folder holds it.
    Handle Lock() const {
        return Handle(CreateFileW(lock.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, OPEN_ALWAYS,
                                  FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
    }

    // Puts the complete staging folder in place of the current one, which goes to `keepAt`
    // when given, else aside and then away. Every step can be interrupted: run again
    // (without `keepAt`), it carries on from where it stopped.
    int Finish(const std::wstring& keepAt = {}) const {
        if (Exists(staging)) {
            std::wstring old; // where the current one went
            if (Exists(current)) {
                if (keepAt.empty() && Exists(aside)) {
                    return EEXIST; // both an old and a current copy: left for a person
                }
                old = keepAt.empty() ? aside : keepAt;
                if (!MoveFileExW(current.c_str(), old.c_str(), 0)) {
                    return LastErrno();
                }
            }
            if (!MoveFileExW(staging.c_str(), current.c_str(), 0)) {
                const int error = LastErrno();
                if (!old.empty() && !Exists(current)) {
                    MoveFileExW(old.c_str(), current.c_str(), 0);
                }
                return error;
            }
        } else if (!Exists(current) && Exists(aside)) {
            // The new copy is gone (not by us): the old one goes back.
            if (!MoveFileExW(aside.c_str(), current.c_str(), 0)) {
                return LastErrno();
            }
        }
        if (const int error = RemoveWhole(aside)) {
            return error; // the marker stays, so the next copy tries again
        }
        return DeleteFileW(marker.c_str()) || !Exists(marker) ? 0 : LastErrno();
    }

    // Nothing has moved yet: the old copy in place, the new one beside it.
    bool Untouched() const { return Exists(staging) && Exists(current) && !Exists(aside); }

    // What a killed copy left: finished once the old copy has begun to move, undone
    // otherwise. Until then undoing loses nothing (the old copy is whole in place), while
    // finishing would drop an old copy that was to be kept.
    int Recover() const {
        if (Exists(marker) && !Untouched()) {
            return Finish();
        }
        if (!DeleteFileW(marker.c_str()) && Exists(marker)) {
            return LastErrno();
        }
        if (const int error = RemoveWhole(staging)) {
            return error;
        }
        if (Exists(aside) && !Exists(current)) {
            return MoveFileExW(aside.c_str(), current.c_str(), 0) ? 0 : LastErrno();
        }
        return RemoveWhole(aside);
    }

    int MarkComplete() const {
        const Handle file(CreateFileW(marker.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
        return file.Valid() ? 0 : LastErrno();
    }

    // Back to the state before the copy began, when the swap has not moved anything yet.
    void Abandon() const {
        if (!Exists(aside)) {
            DeleteFileW(marker.c_str());
            RemoveWhole(staging);
        }
    }
};

// Where the folder a copy replaces is kept: the folders of `keep`, made as needed and
// held like every other, and the name it takes in the last one.
struct KeepPlace {
    std::vector<std::wstring> made;
    Chain chain;
    std::wstring path;

    KeepPlace(const Below& keep, const std::wstring& name)
        : chain(keep, keep.names.size(), &made), path(Join(chain.path, name)) {}

    // The folders made for it go again when nothing was kept (one that is not empty stays).
    void Unmake() {
        chain.held.clear();
        for (auto folder = made.rbegin(); folder != made.rend(); ++folder) {
            RemoveDirectoryW(folder->c_str());
        }
    }
};

bool SameVolume(const Handle& one, const Handle& other) {
    BY_HANDLE_FILE_INFORMATION a{};
    BY_HANDLE_FILE_INFORMATION b{};
    return GetFileInformationByHandle(one.Get(), &a) &&
           GetFileInformationByHandle(other.Get(), &b) &&
           a.dwVolumeSerialNumber == b.dwVolumeSerialNumber;
}

constexpr std::wstring_view kGone = L".dittoly-gone";

// Removes what killed removals (DiscardTree) left in `folder`; what cannot go yet stays
// for the next time.
void SweepGone(const std::wstring& folder) {
    std::vector<Entry> entries;
    ListEntries(folder, entries, L"*.dittoly-gone");
    Outcome ignored;
    for (const Entry& entry : entries) {
        // The pattern may also match a short 8.3 name; only the full spelling counts.
        if (entry.name.ends_with(kGone)) {
            RemoveEntry(Join(folder, entry.name), entry.attributes, ignored, 0);
        }
    }
}

void Measure(const std::wstring& folder, TreeSize& size, Outcome& outcome, int depth) {
    std::vector<Entry> entries;
    if (depth > kMaxDepth || !ListEntries(folder, entries)) {
        outcome.Fail(depth > kMaxDepth ? ENAMETOOLONG : LastErrno());
        return;
    }
    for (const Entry& entry : entries) {
        if (IsLink(entry.attributes) || (entry.attributes & FILE_ATTRIBUTE_DEVICE) != 0) {
            continue; // never copied, so never counted
        }
        if (!IsDirectory(entry.attributes)) {
            ++size.files;
            size.bytes += entry.size;
            continue;
        }
        int error = 0;
        const std::wstring path = Join(folder, entry.name);
        const Handle held = HoldFolder(path, false, error);
        if (error == 0) {
            Measure(path, size, outcome, depth + 1);
        } else if (error != ELOOP) {
            outcome.Fail(error);
        }
    }
}

} // namespace

int CopyTree(const Below& from, const Below& into, const CopyOptions& options) {
    win::ForgetErrors();
    const Target sourceAt(from);
    if (sourceAt.error != 0) {
        return sourceAt.error;
    }
    const std::wstring& sourcePath = sourceAt.path;
    const std::wstring& name = sourceAt.leaf;
    int error = 0;
    DWORD sourceAttributes = 0;
    const Handle source = HoldFolder(sourcePath, false, error, &sourceAttributes);
    if (error != 0) {
        return error;
    }
    const Chain destination(into, into.names.size());
    if (destination.error != 0) {
        return destination.error;
    }
    if (const int refused = RefuseOwnSubtree(source, destination.held.back(), name)) {
        return refused;
    }
    const Swap swap(destination.path, name);
    const Handle lock = swap.Lock();
    if (!lock.Valid()) {
        return LastErrno();
    }
    SweepGone(destination.path);
    if (const int left = swap.Recover()) {
        return left;
    }
    // A file or a link holding the name is someone's data: never replaced by our folder.
    if (const DWORD current = GetFileAttributesW(swap.current.c_str());
        current != INVALID_FILE_ATTRIBUTES && (IsLink(current) || !IsDirectory(current))) {
        return IsLink(current) ? ELOOP : ENOTDIR;
    }
    if (!CreateDirectoryW(swap.staging.c_str(), nullptr)) {
        return LastErrno();
    }
    Copier copier(options.progress);
    {
        // Held while it fills, and let go before it is renamed into place.
        const Handle filling = HoldFolder(swap.staging, false, error);
        if (error != 0) {
            swap.Abandon();
            return error;
        }
        copier.CopyContents(sourcePath, swap.staging, 0);
    }
    if (!copier.stopped) {
        copier.CopyLook(source, sourceAttributes, swap.staging);
    }
    if (copier.stopped || copier.outcome.incomplete) {
        swap.Abandon();
        return copier.stopped ? ECANCELED : copier.outcome.first;
    }

    // The old copy, when it is kept, moves by a rename on the same volume (keepAt); on
    // another one it is copied there first (copiedOld), and then goes as without keeping.
    std::optional<KeepPlace> keep;
    std::wstring keepAt;
    bool copiedOld = false;
    const auto giveUp = [&](int failed) {
        swap.Abandon();
        if (keep) {
            if (copiedOld) {
                RemoveWhole(keep->path);
            }
            keep->Unmake();
        }
        return failed;
    };
    if (options.keep && Exists(swap.current)) {
        keep.emplace(*options.keep, name);
        if (keep->chain.error != 0 || Exists(keep->path)) {
            return giveUp(keep->chain.error != 0 ? keep->chain.error : EEXIST);
        }
        if (SameVolume(destination.held.back(), keep->chain.held.back())) {
            keepAt = keep->path;
        } else {
            Below old = into;
            old.names.push_back(from.names.back());
            std::optional<CountingOn> counting;
            CopyOptions exact;
            if (options.progress != nullptr) {
                exact.progress = &counting.emplace(*options.progress, copier.files, copier.bytes);
            }
            // Anything it could not carry (a link) would be lost with the old copy.
            const int kept = CopyTree(old, *options.keep, exact);
            copiedOld = Exists(keep->path);
            if (kept != 0) {
                return giveUp(kept);
            }
        }
    }
    if (const int failed = swap.MarkComplete()) {
        return giveUp(failed);
    }
    if (const int failed = swap.Finish(keepAt)) {
        return swap.Untouched() ? giveUp(failed) : failed;
    }
    return copier.outcome.first;
}

int RemoveTree(const Below& path, TreeProgress* progress) {
    win::ForgetErrors();
    const Target at(path); // no names: never the root itself
    if (at.error != 0) {
        return at.error;
    }
    const std::wstring& target = at.path;
    const DWORD attributes = GetFileAttributesW(target.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return LastErrno(); // a path that does not exist is a failure
    }
    if (IsLink(attributes)) {
        return ELOOP; // the link and what it leads to both stay
    }
    Outcome outcome;
    outcome.progress = progress;
    RemoveEntry(target, attributes, outcome, 0);
    return outcome.first;
}

int DiscardTree(const Below& path) {
    win::ForgetErrors();
    const Target at(path);
    if (at.error != 0) {
        return at.error;
    }
    const DWORD attributes = GetFileAttributesW(at.path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return LastErrno();
    }
    if (IsLink(attributes) || !IsDirectory(attributes)) {
        return IsLink(attributes) ? ELOOP : ENOTDIR;
    }
    SweepGone(at.parent.path);
    // A leftover that could not go yet keeps its name: this one takes a numbered one.
    std::wstring gone = at.path + std::wstring(kGone);
    for (int n = 1; !MoveFileExW(at.path.c_str(), gone.c_str(), 0); ++n) {
        const DWORD error = GetLastError();
        if ((error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS) || n == 100) {
            return win::ErrnoOf(error);
        }
        gone = at.path + L"." + std::to_wstring(n) + std::wstring(kGone);
    }
    // Hidden, so a listing meanwhile passes over it.
    SetFileAttributesW(gone.c_str(), SettableAttributes(attributes | FILE_ATTRIBUTE_HIDDEN));
    return RemoveWhole(gone);
}

void ClearLeftovers(const Below& path) {
    win::ForgetErrors();
    const Chain folder(path, path.names.size());
    if (folder.error != 0) {
        return;
    }
    SweepGone(folder.path);
    std::vector<Entry> entries;
    ListEntries(folder.path, entries, L"*.dittoly-*");
    std::vector<std::wstring> names;
    for (const Entry& entry : entries) {
        for (const std::wstring_view end : {L".dittoly-new", L".dittoly-old", L".dittoly-ready"}) {
            if (entry.name.size() > end.size() && entry.name.ends_with(end)) {
                names.push_back(entry.name.substr(0, entry.name.size() - end.size()));
            }
        }
    }
    for (const std::wstring& name : names) {
        const Swap swap(folder.path, name);
        // A copy at work holds its lock: what it has there is left alone.
        if (const Handle lock = swap.Lock(); lock.Valid()) {
            swap.Recover();
        }
    }
}

int MeasureTree(const Below& path, TreeSize& size) {
    win::ForgetErrors();
    size = {};
    const Target at(path);
    int error = at.error;
    const Handle held = error == 0 ? HoldFolder(at.path, false, error) : Handle();
    if (error != 0) {
        return error;
    }
    Outcome outcome;
    Measure(at.path, size, outcome, 0);
    return outcome.first;
}

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
