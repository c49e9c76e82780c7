// Whether two Windows folders hold the same thing, as an exact copy (TreeCopy.cpp) makes
// it: walked side by side as every tree operation walks (see TreeWalk.cpp), each folder
// held while it is read, and nothing changed on either side.
//
// Same means what a copy carries: the same names, each of the same kind, files with the
// same bytes and alternate streams, and the same copied attributes and last-write times on
// files and folders. A reparse point or a device is never copied, so one on either side
// means they differ. Access times move with every read, and are never compared.
//
// Given the moment a copy began to read (readSince), a file that has not changed since
// then by its ChangeTime and looks as its copy does is taken as the same without reading
// either: nothing could have written it after it was read. The content of one pair of
// files is compared here for both CompareTrees and a copy that links what did not change
// (TreeLink.cpp).
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

// The alternate streams of a file (a folder's are never copied): the main one, "::$DATA",
// is the content compared on its own. Where the system cannot list streams there are none
// to compare.
std::optional<std::vector<std::wstring>> StreamsOf(const std::wstring& path, int& error) {
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

} // namespace

Handle OpenToRead(const std::wstring& path) {
    return Handle(CreateFileW(path.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
}

int ContentComparer::Compare(const Handle& a, const Handle& b, const std::wstring& pathA,
                             const std::wstring& pathB, bool& same) {
    if (blockA_.empty()) {
        blockA_.resize(kReadBlock);
        blockB_.resize(kReadBlock);
    }
    error_ = 0;
    differ_ = false;
    Bytes(a, b);
    if (!Done()) {
        Streams(pathA, pathB);
    }
    same = error_ == 0 && !differ_;
    return error_;
}

// The content of two open files or streams, block by block to the first difference.
void ContentComparer::Bytes(const Handle& a, const Handle& b) {
    LARGE_INTEGER sizeA{};
    LARGE_INTEGER sizeB{};
    if (!GetFileSizeEx(a.Get(), &sizeA) || !GetFileSizeEx(b.Get(), &sizeB)) {
        error_ = LastErrno();
        return;
    }
    differ_ = sizeA.QuadPart != sizeB.QuadPart;
    for (LONGLONG left = sizeA.QuadPart; !Done() && left > 0;) {
        DWORD gotA = 0;
        DWORD gotB = 0;
        const auto want = static_cast<DWORD>(std::min<LONGLONG>(left, kReadBlock));
        if (!ReadFile(a.Get(), blockA_.data(), want, &gotA, nullptr) ||
            !ReadFile(b.Get(), blockB_.data(), want, &gotB, nullptr)) {
            error_ = LastErrno();
            return;
        }
        // A file that shrank while it was read is not what it was a moment ago.
        differ_ =
            gotA != want || gotB != want || std::memcmp(blockA_.data(), blockB_.data(), want) != 0;
        left -= want;
    }
}

void ContentComparer::Streams(const std::wstring& pathA, const std::wstring& pathB) {
    const auto streamsA = StreamsOf(pathA, error_);
    const auto streamsB = StreamsOf(pathB, error_);
    if (Done()) {
        return;
    }
    if (!streamsA || !streamsB) {
        // One volume cannot list them: only streams the other one shows can differ.
        differ_ = (streamsA && !streamsA->empty()) || (streamsB && !streamsB->empty());
        return;
    }
    differ_ = *streamsA != *streamsB;
    for (std::size_t i = 0; !Done() && i < streamsA->size(); ++i) {
        // ":name:$DATA" is opened as "file:name:$DATA".
        const Handle a = OpenToRead(pathA + (*streamsA)[i]);
        const Handle b = OpenToRead(pathB + (*streamsB)[i]);
        if (!a.Valid() || !b.Valid()) {
            error_ = LastErrno();
            return;
        }
        Bytes(a, b);
    }
}

namespace {

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

    explicit Comparer(const std::optional<FileTime>& readSince) : readSince_(readSince) {}

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
    const std::optional<FileTime>& readSince_;
    ContentComparer content_;

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

    void Files(const std::wstring& pathA, const std::wstring& pathB) {
        const Handle a = OpenToRead(pathA);
        const Handle b = OpenToRead(pathB);
        FileFacts factsA;
        BY_HANDLE_FILE_INFORMATION infoB{};
        if (!a.Valid() || !b.Valid() || !FactsOf(a, factsA) ||
            !GetFileInformationByHandle(b.Get(), &infoB)) {
            error = LastErrno();
            return;
        }
        const BY_HANDLE_FILE_INFORMATION& infoA = factsA.info;
        differ = NeverCopied(infoA.dwFileAttributes) || NeverCopied(infoB.dwFileAttributes) ||
                 IsDirectory(infoA.dwFileAttributes) || IsDirectory(infoB.dwFileAttributes) ||
                 GetFileType(a.Get()) != FILE_TYPE_DISK || GetFileType(b.Get()) != FILE_TYPE_DISK ||
                 !SameLook(infoA, infoB);
        // Nothing changed `a` since the moment given, and it looks as `b` does: `b` was made
        // from it after that moment, so its bytes need no reading.
        // (A volume that keeps no ChangeTime, FAT, shows zero and vouches for nothing.)
        const LONGLONG changed = factsA.basic.ChangeTime.QuadPart;
        if (Done() || (readSince_ && changed != 0 && SizeOf(infoA) == SizeOf(infoB) &&
                       TimeOf(changed) < *readSince_)) {
            return;
        }
        bool same = false;
        error = content_.Compare(a, b, pathA, pathB, same);
        differ = error == 0 && !same;
    }
};

} // namespace

} // namespace platform::wintree

namespace platform {

using namespace wintree;

int CompareTrees(const Below& a, const Below& b, bool& same,
                 const std::optional<FileTime>& readSince) {
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
    Comparer comparer(readSince);
    comparer.Folders(heldA, heldB, atA.path, atB.path, 0);
    same = comparer.error == 0 && !comparer.differ;
    return comparer.error;
}

} // namespace platform
