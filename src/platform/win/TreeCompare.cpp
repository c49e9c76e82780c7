// Whether two Windows folders hold the same thing, as an exact copy (TreeCopy.cpp) makes
// it: walked side by side as every tree operation walks (see TreeWalk.cpp), each folder
// held while it is read, and nothing changed on either side.
//
// Same means what a copy carries: the same names, each of the same kind, files with the
// same bytes and alternate streams, and the same copied attributes and last-write times on
// files and folders. A reparse point or a device is never copied, so one on either side
// means they differ. Access times move with every read, and are never compared.
#include "platform/win/Tree.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace platform::wintree {

namespace {

constexpr DWORD kReadBlock = 256 * 1024;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

bool NeverCopied(DWORD attributes) {
    return IsLink(attributes) || (attributes & FILE_ATTRIBUTE_DEVICE) != 0;
}

bool SameWrite(const FILETIME& a, const FILETIME& b) {
    return a.dwLowDateTime == b.dwLowDateTime && a.dwHighDateTime == b.dwHighDateTime;
}

// What a copy carries of a file or a folder apart from its content.
bool SameLook(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b) {
    return (a.dwFileAttributes & kCopiedAttributes) == (b.dwFileAttributes & kCopiedAttributes) &&
           SameWrite(a.ftLastWriteTime, b.ftLastWriteTime);
}

class Comparer {
public:
    // The first errno of what could not be read; the walk stops there.
    int error = 0;
    // Set at the first difference; the walk stops there too.
    bool differ = false;

    bool Done() const { return error != 0 || differ; }

    // Both held folders, their look and everything below them.
    void Folders(const Handle& a, const Handle& b, const std::wstring& pathA,
                 const std::wstring& pathB, int depth) {
        BY_HANDLE_FILE_INFORMATION infoA{};
        BY_HANDLE_FILE_INFORMATION infoB{};
        if (depth > kMaxDepth) {
            error = ENAMETOOLONG;
        } else if (!GetFileInformationByHandle(a.Get(), &infoA) ||
                   !GetFileInformationByHandle(b.Get(), &infoB)) {
            error = LastErrno();
        } else {
            differ = !SameLook(infoA, infoB);
        }
        std::vector<Entry> entriesA;
        std::vector<Entry> entriesB;
        if (Done()) {
            return;
        }
        if (!ListEntries(pathA, entriesA) || !ListEntries(pathB, entriesB)) {
            error = LastErrno();
            return;
        }
        // Names compared exactly: a copy keeps every name's case.
        const auto byName = [](const Entry& x, const Entry& y) { return x.name < y.name; };
        std::sort(entriesA.begin(), entriesA.end(), byName);
        std::sort(entriesB.begin(), entriesB.end(), byName);
        differ = entriesA.size() != entriesB.size();
        for (std::size_t i = 0; !Done() && i < entriesA.size(); ++i) {
            const Entry& x = entriesA[i];
            const Entry& y = entriesB[i];
            differ = x.name != y.name || NeverCopied(x.attributes) || NeverCopied(y.attributes) ||
                     IsDirectory(x.attributes) != IsDirectory(y.attributes);
            if (Done()) {
                break;
            }
            const std::wstring subA = Join(pathA, x.name);
            const std::wstring subB = Join(pathB, y.name);
            if (IsDirectory(x.attributes)) {
                Folder(subA, subB, depth + 1);
            } else {
                Files(subA, subB);
            }
        }
    }

private:
    std::vector<char> blockA_ = std::vector<char>(kReadBlock);
    std::vector<char> blockB_ = std::vector<char>(kReadBlock);

    void Folder(const std::wstring& pathA, const std::wstring& pathB, int depth) {
        int errorA = 0;
        int errorB = 0;
        const Handle a = HoldFolder(pathA, false, errorA);
        const Handle b = HoldFolder(pathB, false, errorB);
        // Turned into a link since the listing: a link is never the same as anything.
        differ = errorA == ELOOP || errorB == ELOOP;
        error = differ ? 0 : errorA != 0 ? errorA : errorB;
        if (!Done()) {
            Folders(a, b, pathA, pathB, depth);
        }
    }

    // A file, or one stream of it, opened to be read and never followed anywhere.
    static Handle Open(const std::wstring& path) {
        return Handle(CreateFileW(path.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN,
                                  nullptr));
    }

    void Files(const std::wstring& pathA, const std::wstring& pathB) {
        const Handle a = Open(pathA);
        const Handle b = Open(pathB);
        BY_HANDLE_FILE_INFORMATION infoA{};
        BY_HANDLE_FILE_INFORMATION infoB{};
        if (!a.Valid() || !b.Valid() || !GetFileInformationByHandle(a.Get(), &infoA) ||
            !GetFileInformationByHandle(b.Get(), &infoB)) {
            error = LastErrno();
            return;
        }
        differ = NeverCopied(infoA.dwFileAttributes) || NeverCopied(infoB.dwFileAttributes) ||
                 IsDirectory(infoA.dwFileAttributes) || IsDirectory(infoB.dwFileAttributes) ||
                 GetFileType(a.Get()) != FILE_TYPE_DISK || GetFileType(b.Get()) != FILE_TYPE_DISK ||
                 !SameLook(infoA, infoB);
        if (!Done()) {
            Bytes(a, b);
        }
        if (!Done()) {
            Streams(pathA, pathB);
        }
    }

    // The content of two open files or streams, block by block to the first difference.
    void Bytes(const Handle& a, const Handle& b) {
        LARGE_INTEGER sizeA{};
        LARGE_INTEGER sizeB{};
        if (!GetFileSizeEx(a.Get(), &sizeA) || !GetFileSizeEx(b.Get(), &sizeB)) {
            error = LastErrno();
            return;
        }
        differ = sizeA.QuadPart != sizeB.QuadPart;
        for (LONGLONG left = sizeA.QuadPart; !Done() && left > 0;) {
            DWORD gotA = 0;
            DWORD gotB = 0;
            const auto want = static_cast<DWORD>(std::min<LONGLONG>(left, kReadBlock));
            if (!ReadFile(a.Get(), blockA_.data(), want, &gotA, nullptr) ||
                !ReadFile(b.Get(), blockB_.data(), want, &gotB, nullptr)) {
                error = LastErrno();
                return;
            }
            // A file that shrank while it was read is not what it was a moment ago.
            differ = gotA != want || gotB != want ||
                     std::memcmp(blockA_.data(), blockB_.data(), want) != 0;
            left -= want;
        }
    }

    // The alternate streams of a file (a folder's are never copied): the main one, "::$DATA",
    // is the content already compared. Where the system cannot list streams there are none
    // to compare.
    static std::optional<std::vector<std::wstring>> StreamsOf(const std::wstring& path,
                                                              int& error) {
        std::vector<std::wstring> names;
        WIN32_FIND_STREAM_DATA data{};
        const HANDLE find = FindFirstStreamW(path.c_str(), FindStreamInfoStandard, &data, 0);
        if (find == INVALID_HANDLE_VALUE) {
            const DWORD why = GetLastError();
            if (why != ERROR_HANDLE_EOF && why != ERROR_INVALID_FUNCTION &&
                why != ERROR_CALL_NOT_IMPLEMENTED && why != ERROR_NOT_SUPPORTED &&
                why != ERROR_INVALID_PARAMETER) {
                error = win::ErrnoOf(why);
            }
            return why == ERROR_HANDLE_EOF ? std::optional(names) : std::nullopt;
        }
        do {
            if (std::wstring_view(data.cStreamName) != L"::$DATA") {
                names.emplace_back(data.cStreamName);
            }
        } while (FindNextStreamW(find, &data));
        const DWORD why = GetLastError();
        FindClose(find);
        if (why != ERROR_HANDLE_EOF) {
            error = win::ErrnoOf(why);
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    void Streams(const std::wstring& pathA, const std::wstring& pathB) {
        const auto streamsA = StreamsOf(pathA, error);
        const auto streamsB = StreamsOf(pathB, error);
        if (Done()) {
            return;
        }
        if (!streamsA || !streamsB) {
            // One volume cannot list them: only streams the other one shows can differ.
            differ = (streamsA && !streamsA->empty()) || (streamsB && !streamsB->empty());
            return;
        }
        differ = *streamsA != *streamsB;
        for (std::size_t i = 0; !Done() && i < streamsA->size(); ++i) {
            // ":name:$DATA" is opened as "file:name:$DATA".
            const Handle a = Open(pathA + (*streamsA)[i]);
            const Handle b = Open(pathB + (*streamsB)[i]);
            if (!a.Valid() || !b.Valid()) {
                error = LastErrno();
                return;
            }
            Bytes(a, b);
        }
    }
};

} // namespace

} // namespace platform::wintree

namespace platform {

using namespace wintree;

int CompareTrees(const Below& a, const Below& b, bool& same) {
    win::ForgetErrors();
    same = false;
    const Target atA(a);
    const Target atB(b);
    if (atA.error != 0 || atB.error != 0) {
        return atA.error != 0 ? atA.error : atB.error;
    }
    int error = 0;
    const Handle heldA = HoldFolder(atA.path, false, error);
    if (error != 0) {
        return error;
    }
    const Handle heldB = HoldFolder(atB.path, false, error);
    if (error != 0) {
        return error;
    }
    Comparer comparer;
    comparer.Folders(heldA, heldB, atA.path, atB.path, 0);
    same = comparer.error == 0 && !comparer.differ;
    return comparer.error;
}

} // namespace platform
