// The hard links a Windows copy makes instead of copies, and the moment it began to read.
//
// Two kinds of file need no second copy. A file with several names in the source is one
// file: its later names become links to the first name the copy wrote, so the copy holds it
// once, as the source does; a file with one name (the usual case, and every file a restore
// reads from a backup whose generations share files) costs nothing but a look at its link
// count. And with CopyOptions::linkUnchanged, a file that did not change since the copy
// being replaced was made becomes a link to that copy's file: the same size, last-write
// time and copied attributes, and no change at all since that copy began to read (its
// ChangeTime before `readSince`); a file changed at that moment or later, or any file when
// the moment is unknown, is read side by side with the old one first. The old copy's file
// is reached as every folder is (no reparse point entered), and is never opened to be
// written, nor given attributes or times: it is shared as it is.
//
// Whatever refuses a link (FAT, a file at its link limit, a network share) only means the
// file is copied. The moment a copy began is the file system's own clock, as the staging
// folder it has just made shows it, so the clock the ChangeTimes come from is the one it
// is measured by.
#include "platform/win/Tree.h"

#include <cerrno>
#include <cstdint>
#include <optional>
#include <string>

namespace platform::wintree {

namespace {

std::pair<DWORD, std::uint64_t> KeyOf(const BY_HANDLE_FILE_INFORMATION& info) {
    return {info.dwVolumeSerialNumber, IndexOf(info)};
}

// A file a copy carries: no reparse point, folder or device.
bool PlainFile(const Handle& file, const BY_HANDLE_FILE_INFORMATION& info) {
    const DWORD attributes = info.dwFileAttributes;
    return !IsLink(attributes) && !IsDirectory(attributes) &&
           (attributes & FILE_ATTRIBUTE_DEVICE) == 0 && GetFileType(file.Get()) == FILE_TYPE_DISK;
}

bool SameWrite(const FILETIME& a, const FILETIME& b) {
    return a.dwLowDateTime == b.dwLowDateTime && a.dwHighDateTime == b.dwHighDateTime;
}

} // namespace

bool FactsOf(const Handle& file, FileFacts& facts) {
    return GetFileInformationByHandle(file.Get(), &facts.info) &&
           GetFileInformationByHandleEx(file.Get(), FileBasicInfo, &facts.basic,
                                        sizeof facts.basic);
}

bool InspectFile(const std::wstring& path, FileFacts& facts) {
    const Handle file(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    return file.Valid() && FactsOf(file, facts);
}

std::optional<FileTime> ClockOf(const Handle& staging) {
    FILE_BASIC_INFO basic{};
    if (!GetFileInformationByHandleEx(staging.Get(), FileBasicInfo, &basic, sizeof basic)) {
        return std::nullopt;
    }
    // A volume without ChangeTime (FAT) keeps last-write times in steps of two seconds:
    // two seconds earlier is never later than the moment itself.
    const std::int64_t now = basic.ChangeTime.QuadPart != 0
                                 ? basic.ChangeTime.QuadPart
                                 : basic.LastWriteTime.QuadPart - 2 * 10000000;
    // Whole seconds, so a source whose times are coarser than this volume's cannot show a
    // change made after this moment as one made before it.
    return FileTime{TimeOf(now).sec, 0};
}

Took Linker::Link(const FileFacts& facts, const std::wstring& source, const std::wstring& old,
                  const std::wstring& target) {
    if (IsDirectory(facts.info.dwFileAttributes)) {
        return Took::Copy; // a folder now: the copy fails on it and says so
    }
    if (facts.info.nNumberOfLinks > 1) {
        if (const auto first = names_.find(KeyOf(facts.info)); first != names_.end()) {
            return MakeLink(target, first->second.path) ? first->second.took : Took::Copy;
        }
    }
    if (!options_.linkUnchanged || old.empty()) {
        return Took::Copy;
    }
    const Handle oldFile = OpenToRead(old);
    FileFacts was;
    if (!oldFile.Valid() || !FactsOf(oldFile, was) || !PlainFile(oldFile, was.info) ||
        !Unchanged(facts, source, oldFile, was, old) || !MakeLink(target, old)) {
        return Took::Copy;
    }
    // The name made must be the very file judged unchanged, whatever took its place meanwhile.
    FileFacts made;
    if (!InspectFile(target, made) || IsLink(made.info.dwFileAttributes) ||
        KeyOf(made.info) != KeyOf(was.info)) {
        DeleteFileW(target.c_str());
        return Took::Copy;
    }
    return Took::LinkToOld;
}

void Linker::Remember(const FileFacts& facts, const std::wstring& target, Took took) {
    if (facts.info.nNumberOfLinks > 1) {
        // Its later names are links to this one, and count as this one did.
        names_.try_emplace(KeyOf(facts.info),
                           FirstName{target, took == Took::Copy ? Took::LinkToCopy : took});
    }
}

bool Linker::MakeLink(const std::wstring& target, const std::wstring& existing) const {
    return options_.refuseLinks == 0 && CreateHardLinkW(target.c_str(), existing.c_str(), nullptr);
}

// Whether the source file `facts` describe (at `source`) is what the replaced copy's file
// `was` (open as `oldFile`, at `old`) was made from, and has not changed since.
bool Linker::Unchanged(const FileFacts& facts, const std::wstring& source, const Handle& oldFile,
                       const FileFacts& was, const std::wstring& old) {
    const BY_HANDLE_FILE_INFORMATION& now = facts.info;
    if (SizeOf(now) != SizeOf(was.info) ||
        !SameWrite(now.ftLastWriteTime, was.info.ftLastWriteTime) ||
        (now.dwFileAttributes & kCopiedAttributes) !=
            (was.info.dwFileAttributes & kCopiedAttributes)) {
        return false;
    }
    // A volume that keeps no ChangeTime (FAT: zero) cannot vouch for anything.
    if (options_.readSince && facts.basic.ChangeTime.QuadPart != 0 &&
        TimeOf(facts.basic.ChangeTime.QuadPart) < *options_.readSince) {
        return true;
    }
    // Changed while that copy read, or later, or nobody knows when it read: the bytes decide,
    // read from the file that was judged (a name that leads elsewhere now is not it).
    const Handle file = OpenToRead(source);
    BY_HANDLE_FILE_INFORMATION reading{};
    bool same = false;
    return file.Valid() && GetFileInformationByHandle(file.Get(), &reading) &&
           KeyOf(reading) == KeyOf(now) &&
           content_.Compare(file, oldFile, source, old, same) == 0 && same;
}

} // namespace platform::wintree
