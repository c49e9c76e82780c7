// The lock that keeps a second run of the program out of the folders one run works in, on
// Windows: a byte-range lock on a file of its own, reached as every tree operation reaches
// a folder (see TreeWalk.cpp).
//
// A byte-range lock belongs to the handle that took it and goes with that handle, however
// the process ends, so no lock outlives its holder. The byte locked lies far past anything
// the file holds: the holder's note at offset 0 stays readable to everyone who is kept out,
// which a lock on the note itself would forbid.
#include "platform/win/Tree.h"

#include <algorithm>
#include <cerrno>
#include <string>

namespace platform {

namespace {

// Far past any note, and still a valid offset for every file system the lock lives on.
constexpr DWORD kLockedByteHigh = 0x40000000;
// How often a waiting LockFile tries again: often enough that a lock let go is seen at
// once, rarely enough that waiting costs nothing.
constexpr DWORD kPollMs = 25;
// A note is one line; anything longer is not what a holder of ours wrote.
constexpr DWORD kMostNoteBytes = 4096;

bool TryLock(HANDLE file) {
    OVERLAPPED at{};
    at.OffsetHigh = kLockedByteHigh;
    return LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at) !=
           FALSE;
}

// What the holder wrote at offset 0; empty when it wrote nothing yet.
std::string ReadNote(HANDLE file) {
    std::string note(kMostNoteBytes, '\0');
    OVERLAPPED at{};
    DWORD got = 0;
    if (!ReadFile(file, note.data(), kMostNoteBytes, &got, &at)) {
        got = 0;
    }
    note.resize(got);
    return note;
}

bool WriteNote(HANDLE file, const std::string& note) {
    LARGE_INTEGER start{};
    DWORD put = 0;
    return SetFilePointerEx(file, start, nullptr, FILE_BEGIN) && SetEndOfFile(file) &&
           (note.empty() ||
            (WriteFile(file, note.data(), static_cast<DWORD>(note.size()), &put, nullptr) &&
             put == note.size()));
}

} // namespace

using namespace wintree;

void FileLock::Release() {
    if (handle_ != kNone) {
        // The note goes with the lock: a file that names no one is held by no one, and the
        // folder it sits in looks the same after every run.
        WriteNote(reinterpret_cast<HANDLE>(handle_), {});
        CloseHandle(reinterpret_cast<HANDLE>(handle_));
        handle_ = kNone;
    }
}

int LockFile(const Below& at, const std::string& note, int waitMs, FileLock& lock,
             std::string& holder, FailedAt* where) {
    win::ForgetErrors();
    holder.clear();
    const Target target(at);
    if (target.error != 0) {
        Tell(where, at, target.parent);
        return target.error;
    }
    // Anything else that fails, fails at the lock's own name.
    const auto failed = [&](int error) {
        Tell(where, at, at.names.size());
        return error;
    };
    // A link or a folder in the lock's place is someone else's, and never opened as ours.
    if (const DWORD byName = GetFileAttributesW(target.path.c_str());
        byName != INVALID_FILE_ATTRIBUTES && (IsLink(byName) || IsDirectory(byName))) {
        return failed(IsLink(byName) ? ELOOP : EISDIR);
    }
    Handle file(CreateFileW(target.path.c_str(), GENERIC_READ | GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    FILE_ATTRIBUTE_TAG_INFO info{};
    if (!file.Valid() ||
        !GetFileInformationByHandleEx(file.Get(), FileAttributeTagInfo, &info, sizeof info)) {
        return failed(LastErrno());
    }
    // Swapped for a link since it was looked at by name: the handle tells the truth.
    if (IsLink(info.FileAttributes) || IsDirectory(info.FileAttributes) ||
        GetFileType(file.Get()) != FILE_TYPE_DISK) {
        return failed(IsLink(info.FileAttributes) ? ELOOP : EISDIR);
    }
    const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(waitMs > 0 ? waitMs : 0);
    while (!TryLock(file.Get())) {
        const DWORD error = GetLastError();
        if (error != ERROR_LOCK_VIOLATION && error != ERROR_IO_PENDING) {
            return failed(win::ErrnoOf(error));
        }
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) {
            holder = ReadNote(file.Get());
            return EWOULDBLOCK;
        }
        Sleep(static_cast<DWORD>(std::min<ULONGLONG>(kPollMs, deadline - now)));
    }
    if (!WriteNote(file.Get(), note)) {
        return failed(LastErrno()); // closing the handle lets the lock go again
    }
    lock.Release();
    lock.handle_ = reinterpret_cast<std::intptr_t>(file.Release());
    return 0;
}

std::string ThisProcess() {
    wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
    const std::string host = GetComputerNameW(name, &size) ? win::Narrow({name, size}) : "?";
    return "process " + std::to_string(GetCurrentProcessId()) + " on " + host;
}

} // namespace platform
