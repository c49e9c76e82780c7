// How a finished Windows copy takes the old one's place, what a kill at any step leaves,
// and how the next copy finishes or undoes it.
//
// A copy is built in a staging folder beside the old one. Windows cannot exchange two
// folders in one step, so the old one is renamed aside (or to where it is kept), the
// staging folder renamed into place, then the old one removed. A marker, written only once
// the staging folder is complete, tells the next copy into the same folder whether to
// finish such a swap or to undo it, so one whole state always survives a kill. A lock file
// held for the whole copy keeps a second copy of the same name from taking a live copy's
// staging folder for a killed one's.
//
// A power cut must leave one whole state too: every file of the staging folder is flushed
// as it is copied (TreeCopy.cpp), the marker before the first rename, and each rename is
// written through, so none is published ahead of what it points at.
#include "platform/win/Tree.h"

#include <cerrno>
#include <string>
#include <string_view>
#include <vector>

namespace platform::wintree {

Swap::Swap(const std::wstring& folder, const std::wstring& name)
    : current(Join(folder, name)), staging(current + L".dittoly-new"),
      aside(current + L".dittoly-old"), marker(current + L".dittoly-ready"),
      lock(current + L".dittoly-lock") {}

// Held for the whole copy, and gone with the handle, even when the process is killed.
// Invalid while another copy of the same name into the same folder holds it.
Handle Swap::Lock() const {
    return Handle(CreateFileW(lock.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
}

// Puts the complete staging folder in place of the current one, which goes to `keepAt`
// when given, else aside and then away. Every step can be interrupted: run again
// (without `keepAt`), it carries on from where it stopped.
int Swap::Finish(const std::wstring& keepAt) const {
    if (Exists(staging)) {
        std::wstring old; // where the current one went
        if (Exists(current)) {
            if (keepAt.empty() && Exists(aside)) {
                return EEXIST; // both an old and a current copy: left for a person
            }
            old = keepAt.empty() ? aside : keepAt;
            if (!MoveFileExW(current.c_str(), old.c_str(), MOVEFILE_WRITE_THROUGH)) {
                return LastErrno();
            }
        }
        if (!MoveFileExW(staging.c_str(), current.c_str(), MOVEFILE_WRITE_THROUGH)) {
            const int error = LastErrno();
            if (!old.empty() && !Exists(current)) {
                MoveFileExW(old.c_str(), current.c_str(), MOVEFILE_WRITE_THROUGH);
            }
            return error;
        }
    } else if (!Exists(current) && Exists(aside)) {
        // The new copy is gone (not by us): the old one goes back.
        if (!MoveFileExW(aside.c_str(), current.c_str(), MOVEFILE_WRITE_THROUGH)) {
            return LastErrno();
        }
    }
    if (const int error = RemoveWhole(aside)) {
        return error; // the marker stays, so the next copy tries again
    }
    return DeleteFileW(marker.c_str()) || !Exists(marker) ? 0 : LastErrno();
}

// Nothing has moved yet: the old copy in place, the new one beside it.
bool Swap::Untouched() const {
    return Exists(staging) && Exists(current) && !Exists(aside);
}

// What a killed copy left: finished once the old copy has begun to move, undone
// otherwise. Until then undoing loses nothing (the old copy is whole in place), while
// finishing would drop an old copy that was to be kept.
int Swap::Recover() const {
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
        return MoveFileExW(aside.c_str(), current.c_str(), MOVEFILE_WRITE_THROUGH) ? 0
                                                                                   : LastErrno();
    }
    return RemoveWhole(aside);
}

int Swap::MarkComplete() const {
    const Handle file(CreateFileW(marker.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    return file.Valid() && FlushFileBuffers(file.Get()) ? 0 : LastErrno();
}

// Back to the state before the copy began, when the swap has not moved anything yet.
void Swap::Abandon() const {
    if (!Exists(aside)) {
        DeleteFileW(marker.c_str());
        RemoveWhole(staging);
    }
}

} // namespace platform::wintree

namespace platform {

using namespace wintree;

namespace {

// The names a copy or a removal leaves behind in a folder, by the part that ends them.
constexpr std::wstring_view kSwapEnds[] = {L".dittoly-new", L".dittoly-old", L".dittoly-ready"};
constexpr std::wstring_view kGoneEnd = L".dittoly-gone";

// `name` less `end`, when `name` is more than `end` and ends in it; else empty. The
// pattern a listing matched may also match a short 8.3 name: only the full spelling counts.
std::wstring_view Stem(std::wstring_view name, std::wstring_view end) {
    return name.size() > end.size() && name.ends_with(end)
               ? name.substr(0, name.size() - end.size())
               : std::wstring_view();
}

// Whether the copy of `swap` is still at work, told by its lock, which goes with its
// process: no lock file means no copy (the file goes when its holder closes it). One a power
// cut left is opened and closed again, never deleted as Swap::Lock's would be.
bool AtWork(const Swap& swap) {
    if (!Exists(swap.lock)) {
        return false;
    }
    const Handle probe(CreateFileW(swap.lock.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    return !probe.Valid();
}

} // namespace

// On Windows a leftover is judged by its copy's lock, never by a process number, so one
// that `exclusive` would let go is already judged as it would be; the flag changes nothing.
void ClearLeftovers(const Below& path, bool /*exclusive*/) {
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
        for (const std::wstring_view end : kSwapEnds) {
            if (const std::wstring_view stem = Stem(entry.name, end); !stem.empty()) {
                names.emplace_back(stem);
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

std::vector<std::string> FindLeftovers(const Below& path) {
    std::vector<std::string> found;
    const Chain folder(path, path.names.size());
    std::vector<Entry> entries;
    if (folder.error != 0) {
        return found;
    }
    ListEntries(folder.path, entries, L"*.dittoly-*");
    for (const Entry& entry : entries) {
        bool leftover = entry.name.ends_with(kGoneEnd); // as SweepGone takes it
        for (const std::wstring_view end : kSwapEnds) {
            const std::wstring_view stem = Stem(entry.name, end);
            leftover =
                leftover || (!stem.empty() && !AtWork(Swap(folder.path, std::wstring(stem))));
        }
        if (leftover) {
            found.push_back(win::Narrow(entry.name));
        }
    }
    return found;
}

} // namespace platform
