// Windows text files: the settings, app list and log in the system's code page on disk,
// read whole and never through a pipe or device, and replaced whole through a temporary
// file beside them, so a reader, a crash or a power cut sees either the old or the new
// file. What a killed replacement left goes with the next replacement of the same file.
#include "platform/Platform.h"
#include "platform/WinText.h"
#include "platform/win/FileHandle.h"

#include <windows.h>
// The system header names its own ReplaceFile; ours is platform::ReplaceFile.
#undef ReplaceFile

#include <algorithm>
#include <atomic>
#include <string>
#include <utility>

namespace platform {

using win::FileHandle;
using win::Narrow;
using win::SystemPath;

namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

std::wstring FromCodePage(std::string_view bytes) {
    const int size = static_cast<int>(bytes.size());
    const int need = MultiByteToWideChar(CP_ACP, 0, bytes.data(), size, nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(need), L'\0');
    MultiByteToWideChar(CP_ACP, 0, bytes.data(), size, wide.data(), need);
    return wide;
}

} // namespace

std::string ToFileText(std::string_view utf8) {
    if (utf8.empty()) {
        return {};
    }
    if (const auto wide = win::Wide(utf8)) {
        const int size = static_cast<int>(wide->size());
        const int need =
            WideCharToMultiByte(CP_ACP, 0, wide->data(), size, nullptr, 0, nullptr, nullptr);
        std::string ansi(static_cast<std::size_t>(need), '\0');
        WideCharToMultiByte(CP_ACP, 0, wide->data(), size, ansi.data(), need, nullptr, nullptr);
        // Only a text that comes back unchanged may go out in the code page: a substitute
        // character or a best-fit letter would turn one app's name into another's.
        if (need > 0 && FromCodePage(ansi) == *wide && !ansi.starts_with(kByteOrderMark)) {
            return ansi;
        }
    }
    return std::string(kByteOrderMark) + std::string(utf8);
}

std::string FromFileText(std::string_view bytes) {
    if (bytes.starts_with(kByteOrderMark)) {
        return std::string(bytes.substr(kByteOrderMark.size()));
    }
    return Narrow(FromCodePage(bytes));
}

namespace {

// A plain file on a disk, opened for reading, of at most kMaxTextFileBytes; invalid
// otherwise. Opening never waits, whatever stands there.
HANDLE OpenTextFile(const std::string& path) {
    const auto system = SystemPath(path);
    if (!system) {
        return INVALID_HANDLE_VALUE;
    }
    const HANDLE file = CreateFileW(system->c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    LARGE_INTEGER size{};
    if (file != INVALID_HANDLE_VALUE &&
        (GetFileType(file) != FILE_TYPE_DISK || !GetFileSizeEx(file, &size) ||
         static_cast<unsigned long long>(size.QuadPart) > kMaxTextFileBytes)) {
        CloseHandle(file);
        return INVALID_HANDLE_VALUE;
    }
    return file;
}

} // namespace

TextFile TextFileAt(const std::string& path) {
    const auto system = SystemPath(path);
    if (system && GetFileAttributesW(system->c_str()) == INVALID_FILE_ATTRIBUTES &&
        (GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND)) {
        return TextFile::Absent;
    }
    const FileHandle file(OpenTextFile(path));
    return file.Valid() ? TextFile::Readable : TextFile::Unusable;
}

std::optional<std::string> ReadWholeFile(const std::string& path) {
    const FileHandle file(OpenTextFile(path));
    if (!file.Valid()) {
        return std::nullopt;
    }
    std::string data;
    char buffer[64 * 1024];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file.h, buffer, sizeof buffer, &got, nullptr)) {
            return std::nullopt;
        }
        if (got == 0) {
            return data;
        }
        data.append(buffer, got);
        if (data.size() > kMaxTextFileBytes) {
            return std::nullopt; // it grew while we read
        }
    }
}

namespace {

// Temporary files of a replacement are named "<leaf>.tmp-<process id>-<6 characters>"
// after the file they replace, so the next replacement of the same file recognises what a
// killed one left behind.
constexpr std::wstring_view kTemporaryMark = L".tmp-";
constexpr std::size_t kRandomPart = 6;

// The process a temporary file of `leaf` belongs to, or 0 when `name` is not one.
DWORD TemporaryOwner(std::wstring_view name, std::wstring_view leaf) {
    if (!name.starts_with(leaf) || !name.substr(leaf.size()).starts_with(kTemporaryMark)) {
        return 0;
    }
    const std::wstring_view rest = name.substr(leaf.size() + kTemporaryMark.size());
    const std::size_t dash = rest.find(L'-');
    if (dash == 0 || dash == std::wstring_view::npos || dash > 9 ||
        rest.size() != dash + 1 + kRandomPart) {
        return 0;
    }
    DWORD pid = 0;
    for (const wchar_t c : rest.substr(0, dash)) {
        if (c < L'0' || c > L'9') {
            return 0;
        }
        pid = pid * 10 + static_cast<DWORD>(c - L'0');
    }
    return pid;
}

// The folder and leaf of `path`, which the caller made a system path.
std::pair<std::wstring, std::wstring> SplitLeaf(const std::wstring& path) {
    const std::size_t sep = path.find_last_of(L'\\');
    return {path.substr(0, sep), path.substr(sep + 1)};
}

bool ProcessEnded(DWORD pid) {
    const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (process == nullptr) {
        return GetLastError() == ERROR_INVALID_PARAMETER; // no such process
    }
    DWORD code = 0;
    const bool ended = GetExitCodeProcess(process, &code) && code != STILL_ACTIVE;
    CloseHandle(process);
    return ended;
}

// Removes the temporary files of `leaf` in `folder` whose process has ended. A live
// writer's file is never touched, and could not go anyway: it is open and not shared for
// deletion.
void RemoveStaleTemporaries(const std::wstring& folder, const std::wstring& leaf) {
    WIN32_FIND_DATAW entry;
    const HANDLE find =
        FindFirstFileExW(win::Join(folder, leaf + L".tmp-*").c_str(), FindExInfoBasic, &entry,
                         FindExSearchNameMatch, nullptr, 0);
    if (find == INVALID_HANDLE_VALUE) {
        return;
    }
    do {
        // The pattern may also match a short 8.3 name; only the full spelling counts.
        const DWORD owner = TemporaryOwner(entry.cFileName, leaf);
        if (owner != 0 && owner != GetCurrentProcessId() &&
            (entry.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ==
                0 &&
            ProcessEnded(owner)) {
            DeleteFileW(win::Join(folder, entry.cFileName).c_str());
        }
    } while (FindNextFileW(find, &entry));
    FindClose(find);
}

// Where a replacement through a link writes: the file the link finally leads to.
std::optional<std::wstring> FinalTarget(const std::wstring& link) {
    const FileHandle file(CreateFileW(link.c_str(), FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!file.Valid()) {
        return std::nullopt;
    }
    std::wstring target(MAX_PATH, L'\0');
    for (;;) {
        const DWORD got =
            GetFinalPathNameByHandleW(file.h, target.data(), static_cast<DWORD>(target.size()),
                                      FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (got == 0) {
            return std::nullopt;
        }
        if (got < target.size()) {
            target.resize(got);
            return target;
        }
        target.resize(got + 1);
    }
}

} // namespace

bool ReplaceFile(const std::string& path, std::string_view content, bool throughLink) {
    if (path.empty() || path.back() == '\\' || path.back() == '/') {
        return false;
    }
    auto target = SystemPath(path);
    if (!target) {
        return false;
    }
    const DWORD attributes = GetFileAttributesW(target->c_str());
    if (throughLink && attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        target = FinalTarget(*target);
        if (!target) {
            return false; // a dangling link: where it leads is not ours to create
        }
    }
    const auto [folder, leaf] = SplitLeaf(*target);
    RemoveStaleTemporaries(folder, leaf);

    // Six characters that differ for every replacement this process makes.
    static std::atomic<unsigned> counter{0};
    std::wstring random(kRandomPart, L'0');
    for (unsigned n = counter++ ^ (GetTickCount() << 12), i = 0; i < kRandomPart; ++i, n /= 36) {
        random[kRandomPart - 1 - i] = L"0123456789abcdefghijklmnopqrstuvwxyz"[n % 36];
    }
    const std::wstring tmp =
        win::Join(folder, leaf + std::wstring(kTemporaryMark) +
                              std::to_wstring(GetCurrentProcessId()) + L"-" + random);
    bool written = false;
    {
        // Not shared for deletion: another replacement's clean-up leaves it alone.
        const FileHandle file(CreateFileW(tmp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file.Valid()) {
            return false;
        }
        written = true;
        for (std::string_view rest = content; written && !rest.empty();) {
            DWORD put = 0;
            const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(rest.size(), 1 << 20));
            written = WriteFile(file.h, rest.data(), chunk, &put, nullptr) && put > 0;
            rest.remove_prefix(put);
        }
        // On the disk before its name is: a power cut after the rename must not leave an
        // empty or half-written file under the old name.
        written = written && FlushFileBuffers(file.h);
    }
    // Write-through: the rename itself is on the disk before we say it is done.
    if (!written || !MoveFileExW(tmp.c_str(), target->c_str(),
                                 MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        DeleteFileW(tmp.c_str());
        return false;
    }
    return true;
}

} // namespace platform
