#pragma once
// What the Windows tree operations share: the whole-folder copy behind a backup or restore,
// the whole-folder delete, the staging and swap a copy takes its place by, the History
// moves and the measuring. Each has a file of its own (Tree*.cpp); they all reach a folder
// the same way, through the safe walk in TreeWalk.cpp, and report the same way, so those
// parts are declared here once.
#include "platform/Platform.h"
#include "platform/WinText.h"

#include <windows.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace platform::wintree {

using win::Join;

constexpr DWORD kNotFollowed = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;
constexpr DWORD kCopiedAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                    FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                    FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// Far deeper than any app's data goes; keeps the recursion well inside the stack.
constexpr int kMaxDepth = 400;

inline int LastErrno() {
    return win::ErrnoOf(GetLastError());
}

inline bool IsLink(DWORD attributes) {
    return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

inline bool IsDirectory(DWORD attributes) {
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

inline DWORD SettableAttributes(DWORD attributes) {
    attributes &= kCopiedAttributes;
    return attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL;
}

// FILETIME and FILE_BASIC_INFO count 100 ns steps from 1601; FileTime counts from 1970.
inline FileTime TimeOf(std::int64_t since1601) {
    constexpr std::int64_t kPerSecond = 10000000;
    const std::int64_t since1970 = since1601 - 116444736000000000;
    std::int64_t sec = since1970 / kPerSecond;
    std::int64_t rest = since1970 % kPerSecond;
    if (rest < 0) {
        --sec;
        rest += kPerSecond;
    }
    return {sec, static_cast<std::int32_t>(rest * 100)};
}

inline std::uint64_t IndexOf(const BY_HANDLE_FILE_INFORMATION& info) {
    return (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
}

inline std::uint64_t SizeOf(const BY_HANDLE_FILE_INFORMATION& info) {
    return (std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
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
    // Hands the handle over to its next owner; this one closes nothing any more.
    HANDLE Release() { return std::exchange(h_, INVALID_HANDLE_VALUE); }

private:
    HANDLE h_ = INVALID_HANDLE_VALUE;
};

// Every error is remembered once, the first one wins, with the path it happened at. Links
// and devices are skipped on purpose; anything else that goes wrong means something that
// belongs is missing. A removal also counts the files it removed, for its progress.
struct Outcome {
    int first = 0;
    std::wstring where; // of `first`
    int failures = 0;
    bool incomplete = false;
    TreeProgress* progress = nullptr;
    std::uint64_t removed = 0;
    void Removed() {
        if (progress != nullptr) {
            progress->Advance(++removed, 0); // a removal goes on whatever the answer
        }
    }
    void Skip(int error, const std::wstring& at) {
        ++failures;
        if (first == 0) {
            first = error != 0 ? error : EIO;
            where = at;
        }
    }
    void Fail(int error, const std::wstring& at) {
        Skip(error, at);
        incomplete = true;
    }
};

struct Entry {
    std::wstring name;
    DWORD attributes;
    std::uint64_t size;
};

// ---------------------------------------------------------------------------------
// The safe walk (TreeWalk.cpp)

bool Exists(const std::wstring& path);

Handle HoldFolder(const std::wstring& path, bool followLinks, int& error,
                  DWORD* attributes = nullptr);

struct Chain {
    std::wstring path;
    std::vector<Handle> held;
    int error = 0;
    std::size_t failed = 0; // after an error: the names of `at` down to the one that failed

    Chain(const Below& at, std::size_t depth, std::vector<std::wstring>* made = nullptr);
};

struct Target {
    Chain parent;
    std::wstring leaf;
    std::wstring path;
    int error = EINVAL;

    explicit Target(const Below& at);
};

// Tells `where` (when asked) that the failure lies at the first `names` names of `at`,
// followed by `inside`.
void Tell(FailedAt* where, const Below& at, std::size_t names,
          const std::vector<std::string>& inside = {});
// Tells `where` of the failure of `chain` (built for `at`), if it failed.
void Tell(FailedAt* where, const Below& at, const Chain& chain);
// Tells `where` that the failure lies at `path`: `at` and the names of `path` below `base`
// (the path the walk built for `at`), or, elsewhere, `path` in full.
void Tell(FailedAt* where, const std::wstring& path, const std::wstring& base, const Below& at);

bool ListEntries(const std::wstring& folder, std::vector<Entry>& entries,
                 std::wstring_view pattern = L"*");

int RefuseOwnSubtree(const Handle& source, const Handle& into, const std::wstring& name);

bool SameVolume(const Handle& one, const Handle& other);

// ---------------------------------------------------------------------------------
// Removal (TreeRemove.cpp)

void RemoveEntry(const std::wstring& path, DWORD attributes, Outcome& outcome, int depth);

int RemoveWhole(const std::wstring& path, std::wstring* where = nullptr);

void SweepGone(const std::wstring& folder);

// ---------------------------------------------------------------------------------
// Staging and swap (TreeSwap.cpp)

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

    Swap(const std::wstring& folder, const std::wstring& name);

    Handle Lock() const;
    int Finish(const std::wstring& keepAt = {}) const;
    bool Untouched() const;
    int Recover() const;
    int MarkComplete() const;
    void Abandon() const;
};

// ---------------------------------------------------------------------------------
// The History moves (TreeHistory.cpp)

// Where the folder a copy replaces is kept: the folders of `keep`, made as needed and
// held like every other, and the name it takes in the last one.
struct KeepPlace {
    std::vector<std::wstring> made;
    Chain chain;
    std::wstring path;

    KeepPlace(const Below& keep, const std::wstring& name);

    void Unmake();
};

// The old copy, when it is kept, moves by a rename on the same volume (keepAt); on
// another one it is copied there first (copiedOld), and then goes as without keeping.
struct Keeping {
    std::optional<KeepPlace> keep;
    std::wstring keepAt;
    bool copiedOld = false;

    void GiveUp();
};

int PrepareKeep(Keeping& keeping, const Below& from, const Below& into, const std::wstring& name,
                const Handle& destination, const std::wstring& current, const CopyOptions& options,
                std::uint64_t files, std::uint64_t bytes, FailedAt* where);

// ---------------------------------------------------------------------------------
// One pair of files compared (TreeCompare.cpp), for CompareTrees and for a copy that links
// a file only once it knows the file did not change

// A file, or one stream of it ("file:name:$DATA"), opened to be read and never followed.
Handle OpenToRead(const std::wstring& path);

// Whether two files hold the same bytes and the same alternate streams, read side by side
// to the first difference. One object serves many pairs and keeps its buffers.
class ContentComparer {
public:
    // `a` and `b` are the files at `pathA` and `pathB`, opened by OpenToRead and not read
    // yet. 0 with `same` set, or the errno of what could not be read (`same` then false).
    int Compare(const Handle& a, const Handle& b, const std::wstring& pathA,
                const std::wstring& pathB, bool& same);

private:
    std::vector<char> blockA_;
    std::vector<char> blockB_;
    int error_ = 0;
    bool differ_ = false;

    bool Done() const { return error_ != 0 || differ_; }
    void Bytes(const Handle& a, const Handle& b);
    void Streams(const std::wstring& pathA, const std::wstring& pathB);
};

// ---------------------------------------------------------------------------------
// The links a copy makes instead of copies (TreeLink.cpp)

// What a copy learns of a file from an open handle: who it is, how many names it has, its
// size, attributes and times, and its last change (ChangeTime).
struct FileFacts {
    BY_HANDLE_FILE_INFORMATION info{};
    FILE_BASIC_INFO basic{};
};

// The facts of the open `file`; false, with the system's error set, when they cannot be read.
bool FactsOf(const Handle& file, FileFacts& facts);

// The file at `path` opened for its facts only (which even a file another program holds
// shut grants), never followed; false with the system's error set.
bool InspectFile(const std::wstring& path, FileFacts& facts);

// The file system's clock as the folder `staging` (held, just made) shows it, rounded down
// to the second; nullopt when its times cannot be read.
std::optional<FileTime> ClockOf(const Handle& staging);

// How a copy took one file.
enum class Took : std::uint8_t {
    Copy,       // it is for the copy to write anew
    LinkToOld,  // a link to the replaced copy's file
    LinkToCopy, // a link to a name this copy already wrote
};

// Decides, file by file, where a copy can make a hard link instead of writing: a later name
// of a file the copy already holds, and (with CopyOptions::linkUnchanged) a file that did not
// change since the copy it replaces was made.
class Linker {
public:
    explicit Linker(const CopyOptions& options) : options_(options) {}

    // Makes `target` a link where one will do, for the source file at `source` that `facts`
    // describe: to its first name in this copy, or to `old` (the replaced copy's file at the
    // same place; empty when that copy has no real folder there) when that is unchanged.
    // Took::Copy when nothing was made.
    Took Link(const FileFacts& facts, const std::wstring& source, const std::wstring& old,
              const std::wstring& target);

    // `target` now holds the source file `facts` describe, as `took` says: a file with
    // other names is remembered for them.
    void Remember(const FileFacts& facts, const std::wstring& target, Took took);

private:
    struct FirstName {
        std::wstring path;
        Took took;
    };

    const CopyOptions& options_;
    // Only files with more than one name, by volume and file index.
    std::map<std::pair<DWORD, std::uint64_t>, FirstName> names_;
    ContentComparer content_;

    bool MakeLink(const std::wstring& target, const std::wstring& existing) const;
    bool Unchanged(const FileFacts& facts, const std::wstring& source, const Handle& oldFile,
                   const FileFacts& was, const std::wstring& old);
};

} // namespace platform::wintree
