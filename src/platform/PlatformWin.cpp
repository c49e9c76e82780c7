// Windows side of the platform layer: profile and program folders, attribute tests,
// folder creation, error texts, the writable check, the text files' code page, whole-file
// reads and replacements, folder listing, launches. Every call is the wide-character one;
// text turns into UTF-16 only here, at the call.
#include "platform/Platform.h"
#include "platform/WinText.h"

#include <windows.h>
// The system header names its own ReplaceFile; ours is platform::ReplaceFile.
#undef ReplaceFile

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <cwchar>
#include <shlobj.h>

namespace platform {

namespace win {

std::string Narrow(std::wstring_view wide) {
    std::string out;
    out.reserve(wide.size());
    for (std::size_t i = 0; i < wide.size(); ++i) {
        char32_t c = wide[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < wide.size() && wide[i + 1] >= 0xDC00 &&
            wide[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (wide[++i] - 0xDC00);
        }
        // An unpaired surrogate falls through as a three-byte unit of its own.
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::optional<std::wstring> Wide(std::string_view text) {
    std::wstring out;
    out.reserve(text.size());
    bool afterHighSurrogate = false;
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const std::size_t length = lead < 0x80   ? 1
                                   : lead < 0xC2 ? 0
                                   : lead < 0xE0 ? 2
                                   : lead < 0xF0 ? 3
                                   : lead < 0xF5 ? 4
                                                 : 0;
        if (length == 0 || i + length > text.size() || lead == 0) {
            return std::nullopt;
        }
        char32_t c = length == 1 ? lead : lead & (0x7F >> length);
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) {
                return std::nullopt;
            }
            c = (c << 6) | (next & 0x3F);
        }
        // Overlong forms and values past Unicode would give a second spelling of a name.
        const char32_t least = length == 2 ? 0x80 : length == 3 ? 0x800 : 0x10000;
        if ((length > 1 && c < least) || c > 0x10FFFF) {
            return std::nullopt;
        }
        // A pair written as two separate units would read back as the four-byte form,
        // which is another spelling of the same name.
        const bool low = c >= 0xDC00 && c <= 0xDFFF;
        if (low && afterHighSurrogate) {
            return std::nullopt;
        }
        afterHighSurrogate = c >= 0xD800 && c <= 0xDBFF;
        if (c >= 0x10000) {
            out += static_cast<wchar_t>(0xD800 + ((c - 0x10000) >> 10));
            out += static_cast<wchar_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            out += static_cast<wchar_t>(c);
        }
        i += length;
    }
    return out;
}

namespace {

bool HasOddComponent(std::wstring_view path) {
    // "." and ".." would be taken literally behind \\?\, and so would an empty component.
    for (std::size_t start = 0; start <= path.size();) {
        std::size_t end = path.find(L'\\', start);
        if (end == std::wstring_view::npos) {
            end = path.size();
        }
        const std::wstring_view part = path.substr(start, end - start);
        if (part == L"." || part == L".." || (part.empty() && end != path.size())) {
            return true;
        }
        start = end + 1;
    }
    return false;
}

// The \\?\ form of a drive or network path that holds nothing the system would have to
// tidy up first; nullopt otherwise.
std::optional<std::wstring> Prefixed(const std::wstring& w) {
    if (w.find(L'/') != std::wstring::npos) {
        return std::nullopt;
    }
    const wchar_t letter = static_cast<wchar_t>(w.empty() ? 0 : (w[0] | 0x20));
    if (w.size() >= 3 && letter >= L'a' && letter <= L'z' && w[1] == L':' && w[2] == L'\\' &&
        !HasOddComponent(std::wstring_view(w).substr(3))) {
        return L"\\\\?\\" + w;
    }
    if (w.size() > 2 && w.starts_with(L"\\\\") && w[2] != L'.' && w[2] != L'?' &&
        !HasOddComponent(std::wstring_view(w).substr(2))) {
        return L"\\\\?\\UNC\\" + w.substr(2);
    }
    return std::nullopt;
}

} // namespace

std::optional<std::wstring> SystemPath(const std::string& path) {
    const std::optional<std::wstring> wide = Wide(path);
    if (!wide || wide->empty()) {
        return std::nullopt;
    }
    if (wide->starts_with(L"\\\\?\\")) {
        return wide;
    }
    if (auto prefixed = Prefixed(*wide)) {
        return prefixed;
    }
    // Anything else ("/", ".", "..", a relative path) the system tidies up first. A device
    // name ("NUL", "COM1") comes back as \\.\ and is never a file of ours.
    const DWORD need = GetFullPathNameW(wide->c_str(), 0, nullptr, nullptr);
    if (need == 0) {
        return std::nullopt;
    }
    std::wstring full(need, L'\0');
    const DWORD got = GetFullPathNameW(wide->c_str(), need, full.data(), nullptr);
    if (got == 0 || got >= need) {
        return std::nullopt;
    }
    full.resize(got);
    return Prefixed(full);
}

std::wstring Join(const std::wstring& folder, std::wstring_view name) {
    std::wstring path = folder;
    if (!path.empty() && path.back() != L'\\') {
        path += L'\\';
    }
    path += name;
    return path;
}

namespace {

// For each number, the last system error code ErrnoOf turned into it on this thread, so
// ErrorText can give the system's own words for it.
thread_local std::array<unsigned long, 160> lastMapped{};

int Map(unsigned long error) {
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
        return EACCES;
    case ERROR_ALREADY_EXISTS:
    case ERROR_FILE_EXISTS:
        return EEXIST;
    case ERROR_DIR_NOT_EMPTY:
        return ENOTEMPTY;
    case ERROR_DIRECTORY:
        return ENOTDIR;
    case ERROR_FILENAME_EXCED_RANGE:
        return ENAMETOOLONG;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return ENOSPC;
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
        return EINVAL;
    case ERROR_WRITE_PROTECT:
        return EROFS;
    case ERROR_NOT_SAME_DEVICE:
        return EXDEV;
    case ERROR_REQUEST_ABORTED:
        return ECANCELED;
    default:
        return EIO;
    }
}

} // namespace

int ErrnoOf(unsigned long error) {
    const int number = Map(error);
    if (static_cast<std::size_t>(number) < lastMapped.size()) {
        lastMapped[static_cast<std::size_t>(number)] = error;
    }
    return number;
}

void ForgetErrors() {
    lastMapped.fill(0);
}

} // namespace win

using win::Narrow;
using win::SystemPath;

namespace {

DWORD AttributesOf(const std::string& path) {
    const auto system = SystemPath(path);
    return system ? GetFileAttributesW(system->c_str()) : INVALID_FILE_ATTRIBUTES;
}

// Closes the handle when it goes out of scope.
struct FileHandle {
    HANDLE h;
    explicit FileHandle(HANDLE handle) : h(handle) {}
    ~FileHandle() {
        if (h != INVALID_HANDLE_VALUE) {
            CloseHandle(h);
        }
    }
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    bool Valid() const { return h != INVALID_HANDLE_VALUE; }
};

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

std::string ErrorText(int error) {
    const unsigned long code = error > 0 && static_cast<std::size_t>(error) < win::lastMapped.size()
                                   ? win::lastMapped[static_cast<std::size_t>(error)]
                                   : 0;
    if (code != 0) {
        wchar_t* text = nullptr;
        const DWORD length =
            FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                               FORMAT_MESSAGE_IGNORE_INSERTS,
                           nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
        std::wstring words(text != nullptr ? text : L"", length);
        LocalFree(text);
        while (!words.empty() && std::wcschr(L"\r\n. ", words.back()) != nullptr) {
            words.pop_back();
        }
        if (!words.empty()) {
            return Narrow(words);
        }
    }
    // The C run-time knows no words for the numbers POSIX added later.
    switch (error) {
    case ELOOP:
        return "The path leads through a link or junction";
    case ECANCELED:
        return "Operation canceled";
    default:
        return std::strerror(error);
    }
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
    }
    if (!written || !MoveFileExW(tmp.c_str(), target->c_str(), MOVEFILE_REPLACE_EXISTING)) {
        DeleteFileW(tmp.c_str());
        return false;
    }
    return true;
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

bool StartStoreCacheReset() {
    // The interpreter and the tool are taken from the system folder by full path and
    // with the system folder as working folder, so no program of that name planted
    // beside ours or in the current folder is started instead.
    wchar_t systemFolder[MAX_PATH] = {};
    const UINT length = GetSystemDirectoryW(systemFolder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return false;
    }
    const std::wstring interpreter = win::Join(systemFolder, L"cmd.exe");
    std::wstring commandLine = L"cmd /c wsreset.exe";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_SHOWNORMAL;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(interpreter.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0,
                        nullptr, systemFolder, &startup, &process)) {
        return false;
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return true;
}

void DiscardQueuedInput() {
    MSG message;
    while (PeekMessageW(&message, nullptr, WM_KEYFIRST, WM_KEYLAST, PM_REMOVE) ||
           PeekMessageW(&message, nullptr, WM_MOUSEFIRST, WM_MOUSELAST, PM_REMOVE)) {
    }
}

} // namespace platform
