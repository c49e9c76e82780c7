// The whole-folder copy behind a backup or restore on Windows: what a copy carries and
// what it leaves out, and the order a copy runs in.
//
// Files are copied with their attributes and times, and every folder is held (see
// TreeWalk.cpp) while it is read and while it fills. Links and devices have no place in
// a backup of app data: they are skipped, and the copy says it is incomplete. The copy is
// built in a staging folder beside the old one and takes its place through the swap in
// TreeSwap.cpp; where the old one goes when it is kept is decided in TreeHistory.cpp.
// A file the copy need not write again (a second name of a file it holds, a file that did
// not change since the copy it replaces) is a hard link instead, as TreeLink.cpp decides.
#include "platform/win/Tree.h"

#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

namespace platform::wintree {

namespace {

class Copier {
public:
    Outcome outcome;
    // Set once the progress asked the copy to stop; every loop ends at once then.
    bool stopped = false;
    std::uint64_t files = 0;
    std::uint64_t bytes = 0;

    explicit Copier(const CopyOptions& options)
        : progress_(options.progress), stats_(options.stats), linker_(options) {}

    // Copies what is in the held folder `from` into the new, empty folder `to`. `old` is
    // the same place in the copy being replaced, held, or empty when files are not to be
    // linked from there.
    void CopyContents(const std::wstring& from, const std::wstring& to, const std::wstring& old,
                      int depth) {
        if (depth > kMaxDepth) {
            outcome.Fail(ENAMETOOLONG, from);
            return;
        }
        std::vector<Entry> entries;
        if (!ListEntries(from, entries)) {
            outcome.Fail(LastErrno(), from);
        }
        for (const Entry& entry : entries) {
            if (stopped) {
                return;
            }
            withinFile_ = 0;
            const std::wstring source = Join(from, entry.name);
            const std::wstring target = Join(to, entry.name);
            const std::wstring oldEntry = old.empty() ? std::wstring() : Join(old, entry.name);
            if (IsLink(entry.attributes) || (entry.attributes & FILE_ATTRIBUTE_DEVICE) != 0) {
                // Links and devices have no place in a backup of app data: skipped, and
                // the copy reports itself incomplete.
                outcome.Skip(IsLink(entry.attributes) ? ELOOP : EINVAL, source);
            } else if (IsDirectory(entry.attributes)) {
                CopyFolder(source, target, oldEntry, depth + 1);
            } else {
                TakeFile(source, target, oldEntry, entry.size);
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
            outcome.Fail(LastErrno(), to);
        }
        if ((attributes & kCopiedAttributes) != 0 &&
            !SetFileAttributesW(to.c_str(), SettableAttributes(attributes))) {
            outcome.Fail(LastErrno(), to);
        }
    }

private:
    TreeProgress* progress_;
    CopyStats* stats_;
    Linker linker_;

    // One file, linked where a link will do (TreeLink.cpp), else copied.
    void TakeFile(const std::wstring& source, const std::wstring& target, const std::wstring& old,
                  std::uint64_t size) {
        FileFacts facts;
        const bool known = InspectFile(source, facts);
        if (known && IsLink(facts.info.dwFileAttributes)) {
            outcome.Skip(ELOOP, source); // swapped for a link since the listing
            return;
        }
        const Took took = known ? linker_.Link(facts, source, old, target) : Took::Copy;
        if (took == Took::Copy && !CopyOne(source, target)) {
            return;
        }
        if (known) {
            linker_.Remember(facts, target, took);
        }
        if (stats_ != nullptr) {
            ++(took == Took::LinkToOld ? stats_->linked : stats_->copied);
        }
        ++files;
        bytes += size;
        stopped = progress_ != nullptr && !progress_->Advance(files, bytes);
    }

    // Writes `target` anew from `source`, on the disk before it counts; false when it did
    // not (and that is reported).
    bool CopyOne(const std::wstring& source, const std::wstring& target) {
        if (!CopyFileExW(source.c_str(), target.c_str(), progress_ != nullptr ? &Within : nullptr,
                         this, nullptr, COPY_FILE_COPY_SYMLINK | COPY_FILE_FAIL_IF_EXISTS)) {
            // The source's side unless only the side written to can have caused it.
            const int error = stopped ? ECANCELED : LastErrno();
            outcome.Fail(error,
                         error == ENOSPC || error == EFBIG || error == EROFS || error == EEXIST
                             ? target
                             : source);
            return false;
        }
        const DWORD copied = GetFileAttributesW(target.c_str());
        if (IsLink(copied)) {
            // Swapped for a link since it was looked at: the link was copied as a link,
            // and goes again.
            DeleteFileW(target.c_str());
            outcome.Skip(ELOOP, source);
            return false;
        }
        if (const int error = Flush(target, copied)) {
            outcome.Fail(error, target);
            return false;
        }
        return true;
    }

    // Puts the copied file `path` on the disk, so the staged copy is whole there before it
    // is published. Only a handle that may write can flush, and a read-only file grants
    // none: its attribute steps aside for that moment.
    static int Flush(const std::wstring& path, DWORD attributes) {
        const auto settable = [](DWORD wanted) {
            wanted &= kCopiedAttributes | FILE_ATTRIBUTE_OFFLINE | FILE_ATTRIBUTE_TEMPORARY;
            return wanted != 0 ? wanted : FILE_ATTRIBUTE_NORMAL;
        };
        const bool readOnly = (attributes & FILE_ATTRIBUTE_READONLY) != 0;
        if (readOnly &&
            !SetFileAttributesW(path.c_str(), settable(attributes & ~FILE_ATTRIBUTE_READONLY))) {
            return LastErrno();
        }
        int error = 0;
        {
            const Handle file(CreateFileW(
                path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
            if (!file.Valid() || !FlushFileBuffers(file.Get())) {
                error = LastErrno();
            }
        }
        if (readOnly && !SetFileAttributesW(path.c_str(), settable(attributes)) && error == 0) {
            error = LastErrno();
        }
        return error;
    }
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

    void CopyFolder(const std::wstring& from, const std::wstring& to, const std::wstring& old,
                    int depth) {
        int error = 0;
        DWORD attributes = 0;
        const Handle held = HoldFolder(from, false, error, &attributes);
        if (error != 0) {
            // Swapped for a link since the listing counts as a link; unreadable means
            // something is missing.
            error == ELOOP ? outcome.Skip(error, from) : outcome.Fail(error, from);
            return;
        }
        if (!CreateDirectoryW(to.c_str(), nullptr)) {
            outcome.Fail(LastErrno(), to);
            return;
        }
        {
            // Held while it fills, so a junction put in its place cannot take our writes.
            const Handle filling = HoldFolder(to, false, error);
            if (error != 0) {
                outcome.Fail(error, to);
                return;
            }
            // The old copy's folder, held while its files may be linked: only a real one.
            int oldError = 0;
            const Handle oldHeld = old.empty() ? Handle() : HoldFolder(old, false, oldError);
            CopyContents(from, to, oldHeld.Valid() ? old : std::wstring(), depth);
        }
        if (!stopped) {
            CopyLook(held, attributes, to);
        }
    }
};

} // namespace

} // namespace platform::wintree

namespace platform {

using namespace wintree;

int CopyTree(const Below& from, const Below& into, const CopyOptions& options, FailedAt* where) {
    win::ForgetErrors();
    const Target sourceAt(from);
    if (sourceAt.error != 0) {
        Tell(where, from, sourceAt.parent);
        return sourceAt.error;
    }
    const std::wstring& sourcePath = sourceAt.path;
    const std::wstring& name = sourceAt.leaf;
    // Where the copy goes, as the user knows it: what fails there is named by it.
    Below placed = into;
    placed.names.push_back(from.names.back());
    const auto atPlace = [&](int error) {
        Tell(where, placed, placed.names.size());
        return error;
    };
    int error = 0;
    DWORD sourceAttributes = 0;
    const Handle source = HoldFolder(sourcePath, false, error, &sourceAttributes);
    if (error != 0) {
        Tell(where, from, from.names.size());
        return error;
    }
    const Chain destination(into, into.names.size());
    if (destination.error != 0) {
        Tell(where, into, destination);
        return destination.error;
    }
    if (const int refused = RefuseOwnSubtree(source, destination.held.back(), name)) {
        return refused;
    }
    // A leftover is judged by the lock its copy held (Swap::Lock), never by a process
    // number, so `options.exclusive` has nothing to add here.
    const Swap swap(destination.path, name);
    const Handle lock = swap.Lock();
    if (!lock.Valid()) {
        return atPlace(LastErrno());
    }
    SweepGone(destination.path);
    if (const int left = swap.Recover()) {
        return atPlace(left);
    }
    // A file or a link holding the name is someone's data: never replaced by our folder.
    if (const DWORD current = GetFileAttributesW(swap.current.c_str());
        current != INVALID_FILE_ATTRIBUTES && (IsLink(current) || !IsDirectory(current))) {
        return atPlace(IsLink(current) ? ELOOP : ENOTDIR);
    }
    if (!CreateDirectoryW(swap.staging.c_str(), nullptr)) {
        return atPlace(LastErrno());
    }
    if (options.stats != nullptr) {
        *options.stats = {};
    }
    Copier copier(options);
    {
        // Held while it fills, and let go before it is renamed into place.
        const Handle filling = HoldFolder(swap.staging, false, error);
        if (error != 0) {
            swap.Abandon();
            return atPlace(error);
        }
        if (options.stats != nullptr) {
            options.stats->began = ClockOf(filling); // before the first file is read
        }
        // The copy being replaced, held while its files may be linked, and let go before
        // it moves away.
        int oldError = 0;
        const Handle old =
            options.linkUnchanged ? HoldFolder(swap.current, false, oldError) : Handle();
        copier.CopyContents(sourcePath, swap.staging, old.Valid() ? swap.current : std::wstring(),
                            0);
    }
    if (!copier.stopped) {
        copier.CopyLook(source, sourceAttributes, swap.staging);
    }
    // What the copy met: in its source, or in what it wrote, named by where that goes.
    const auto tellCopy = [&] {
        const std::wstring& at = copier.outcome.where;
        const bool written = at.starts_with(swap.staging) &&
                             (at.size() == swap.staging.size() || at[swap.staging.size()] == L'\\');
        if (copier.outcome.first != 0) {
            Tell(where, at, written ? swap.staging : sourcePath, written ? placed : from);
        }
        return copier.outcome.first;
    };
    if (copier.stopped || copier.outcome.incomplete) {
        swap.Abandon();
        return copier.stopped ? ECANCELED : tellCopy();
    }

    // Whether and where the old copy is kept is the History's part (TreeHistory.cpp).
    Keeping keeping;
    const auto giveUp = [&](int failed) {
        swap.Abandon();
        keeping.GiveUp();
        return failed;
    };
    if (const int failed = PrepareKeep(keeping, from, into, name, destination.held.back(),
                                       swap.current, options, copier.files, copier.bytes, where)) {
        return giveUp(failed);
    }
    if (const int failed = swap.MarkComplete()) {
        return giveUp(atPlace(failed));
    }
    if (const int failed = swap.Finish(keeping.keepAt)) {
        return swap.Untouched() ? giveUp(atPlace(failed)) : atPlace(failed);
    }
    return tellCopy();
}

} // namespace platform
