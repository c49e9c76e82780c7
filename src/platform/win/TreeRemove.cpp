// The whole-folder delete of the Windows tree operations, and the removals the others use
// to clear what they made or replaced.
//
// A folder's whole listing is read before anything in it goes, and the folder is held
// while it is emptied (see TreeWalk.cpp), so a junction put in its place cannot lead the
// removal elsewhere. A link or junction goes as itself, never what it leads to. A folder
// discarded whole is renamed to a hidden name first, so it is never seen half removed
// under its own; what a killed removal left under such a name goes with the next removal
// or copy in the same folder.
#include "platform/win/Tree.h"

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

namespace platform::wintree {

namespace {

// Sets the attributes of the open `file`, times left as they are.
bool SetAttributes(const Handle& file, DWORD attributes) {
    FILE_BASIC_INFO basic{}; // zero times: unchanged
    basic.FileAttributes = SettableAttributes(attributes);
    return SetFileInformationByHandle(file.Get(), FileBasicInfo, &basic, sizeof basic);
}

// The read-only attribute goes first, as the shell's delete clears it; should the delete
// still fail, the file keeps the attributes it had. The attribute belongs to the file, not
// to this name: a file that lives on under another name (a newer copy that links to it)
// gets it back, through the handle that still reaches it once this name is gone.
bool RemoveFile(const std::wstring& path, DWORD attributes) {
    if ((attributes & FILE_ATTRIBUTE_READONLY) == 0) {
        return DeleteFileW(path.c_str());
    }
    const Handle file(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                                  kShareAll, nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT,
                                  nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    if (!file.Valid() || !GetFileInformationByHandle(file.Get(), &info) ||
        !SetAttributes(file, info.dwFileAttributes & ~FILE_ATTRIBUTE_READONLY)) {
        return false;
    }
    const bool removed = DeleteFileW(path.c_str());
    const DWORD error = GetLastError();
    if (!removed || info.nNumberOfLinks > 1) {
        SetAttributes(file, info.dwFileAttributes);
    }
    SetLastError(error);
    return removed;
}

void RemoveFolder(const std::wstring& path, DWORD attributes, Outcome& outcome, int depth) {
    if (depth > kMaxDepth) {
        outcome.Fail(ENAMETOOLONG, path);
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
                    outcome.Fail(LastErrno(), path);
                }
                return;
            }
            std::vector<Entry> entries;
            if (error != 0 || !ListEntries(path, entries)) {
                outcome.Fail(error != 0 ? error : LastErrno(), path);
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
            outcome.Fail(win::ErrnoOf(error), path);
            return;
        }
        Sleep(20 * (pass + 1));
    }
}

} // namespace

void RemoveEntry(const std::wstring& path, DWORD attributes, Outcome& outcome, int depth) {
    if (IsLink(attributes)) {
        // The link itself goes; what it leads to is never touched.
        const bool removed =
            IsDirectory(attributes) ? RemoveDirectoryW(path.c_str()) : DeleteFileW(path.c_str());
        if (!removed) {
            outcome.Fail(LastErrno(), path);
        }
    } else if (IsDirectory(attributes)) {
        RemoveFolder(path, attributes, outcome, depth);
    } else if (!RemoveFile(path, attributes)) {
        outcome.Fail(LastErrno(), path);
    } else {
        outcome.Removed();
    }
}

// Removes whatever holds `path` (missing is fine); 0 or the first error, and with `where`
// the path it happened at.
int RemoveWhole(const std::wstring& path, std::wstring* where) {
    Outcome outcome;
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        if (Exists(path)) {
            outcome.Fail(LastErrno(), path);
        }
    } else {
        RemoveEntry(path, attributes, outcome, 0);
    }
    if (where != nullptr && outcome.first != 0) {
        *where = outcome.where;
    }
    return outcome.first;
}

namespace {

constexpr std::wstring_view kGone = L".dittoly-gone";

} // namespace

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

} // namespace platform::wintree

namespace platform {

using namespace wintree;

int RemoveTree(const Below& path, TreeProgress* progress, FailedAt* where) {
    win::ForgetErrors();
    const Target at(path); // no names: never the root itself
    if (at.error != 0) {
        Tell(where, path, at.parent);
        return at.error;
    }
    const std::wstring& target = at.path;
    Outcome outcome;
    outcome.progress = progress;
    const DWORD attributes = GetFileAttributesW(target.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        outcome.Fail(LastErrno(), target); // a path that does not exist is a failure
    } else if (IsLink(attributes)) {
        outcome.Fail(ELOOP, target); // the link and what it leads to both stay
    } else {
        RemoveEntry(target, attributes, outcome, 0);
    }
    if (outcome.first != 0) {
        Tell(where, outcome.where, target, path);
    }
    return outcome.first;
}

// `exclusive` changes nothing here: what a removal left under a gone name is removed
// whoever left it, as it was on its way out anyway; two removals of it at once only share
// the work.
int DiscardTree(const Below& path, bool /*exclusive*/, FailedAt* where) {
    win::ForgetErrors();
    const Target at(path);
    if (at.error != 0) {
        Tell(where, path, at.parent);
        return at.error;
    }
    const auto atPath = [&](int error) {
        Tell(where, path, path.names.size());
        return error;
    };
    const DWORD attributes = GetFileAttributesW(at.path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return atPath(LastErrno());
    }
    if (IsLink(attributes) || !IsDirectory(attributes)) {
        return atPath(IsLink(attributes) ? ELOOP : ENOTDIR);
    }
    SweepGone(at.parent.path);
    // A leftover that could not go yet keeps its name: this one takes a numbered one.
    std::wstring gone = at.path + std::wstring(kGone);
    for (int n = 1; !MoveFileExW(at.path.c_str(), gone.c_str(), 0); ++n) {
        const DWORD error = GetLastError();
        if ((error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS) || n == 100) {
            return atPath(win::ErrnoOf(error));
        }
        gone = at.path + L"." + std::to_wstring(n) + std::wstring(kGone);
    }
    // Hidden, so a listing meanwhile passes over it.
    SetFileAttributesW(gone.c_str(), SettableAttributes(attributes | FILE_ATTRIBUTE_HIDDEN));
    std::wstring failed;
    const int removed = RemoveWhole(gone, &failed);
    if (removed != 0) {
        // Named as the user knew it, not by the name it was hidden under.
        Tell(where, failed.replace(0, std::min(gone.size(), failed.size()), at.path), at.path,
             path);
    }
    return removed;
}

} // namespace platform
