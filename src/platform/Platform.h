#pragma once
// The only place that knows the operating system. Every service the program takes
// from the system has one function here, so a second platform can be added below
// these declarations without touching a caller.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// Native path separator. Every shared path is built by plain concatenation with it,
// and trailing separators are kept so that status lines print paths as built.
#ifdef _WIN32
inline constexpr char kSep = '\\';
inline constexpr char kSepStr[] = "\\";
#else
inline constexpr char kSep = '/';
inline constexpr char kSepStr[] = "/";
#endif

// The user's profile folder as the system reports it; it may end in a separator
// (GetSpecialFolder strips one). Empty when the system cannot tell.
std::string ProfileFolder();

// The folder that holds the program file, without a trailing separator
// (the root folder keeps its own).
std::string ProgramFolder();

// Attribute tests that never fail with an error: an unreadable or missing path is
// simply not a folder and not a file. A file is a regular file or a link to one; a pipe,
// a device or a socket is neither, so nothing ever opens one expecting data.
bool IsFolder(const std::string& path);
bool IsFile(const std::string& path);

// Creates the folder and every missing parent; reports nothing.
void CreateFolderChain(const std::string& path);

// What stands at `path` itself, a link not followed. A junction counts as a link.
enum class PathState : std::uint8_t { Missing, Folder, Link, Other };
PathState StateOf(const std::string& path);

// The system's own words for an error number the tree operations returned (strerror here;
// on Windows the system message of the last error that gave this number, where there is
// one).
std::string ErrorText(int error);

// 0 when a file can be made in the folder `folder` now (tried with a file that is gone
// again at once, so permissions, access lists, a read-only or full volume all count),
// else the errno of what stops it.
int CheckWritable(const std::string& folder);

// ---- The tree operations behind Backup, Restore, Reset, Hard Reset and Clear App Cache ----
//
// A path the operations work on is a folder the caller trusts (PackagesRoot, BackupDir,
// the program folder) and plain folder names below it. The root is reached however the
// system resolves it: the user may have put it behind a link. Each name below it is opened
// from the folder above, one level at a time, and must be a real folder on the root's
// mount: a name that is a link, a junction or a mount point (a bind mount of the same
// file system included) makes the operation refuse and change nothing. Each name must be
// one plain folder name (callers check this first).
struct Below {
    std::string root;
    std::vector<std::string> names;
};

// The path of `at` as text: its root and names joined by the separator.
inline std::string PathOf(const Below& at) {
    std::string path = at.root;
    for (const std::string& name : at.names) {
        path += (path.ends_with(kSep) ? "" : kSepStr) + name;
    }
    return path;
}

// What every tree operation promises, whatever the outcome:
// - Nothing outside the tree it was given is changed or removed. Inside it no link is
//   followed (a link is copied as nothing and removed as a link) and no mount is crossed
//   (left alone, and reported).
// - The result is 0 only when the whole job was done; otherwise an errno-style number of
//   the first thing that went wrong, and, for a caller that passes `where`, where that was
//   (see below).
// - Any depth works with a handful of open descriptors. The walks climb back through "..";
//   a folder moved away while they work ends the walk with an error, never somewhere else.

// Where the failure an operation returns lies, so a reason can name it: the entry it could
// not open, read, make, write, move or remove, the first entry it left out, or the name on
// the way it refused, as a root and the names below it (the root alone when the root itself
// failed). What a copy writes is named by the place it was to take (`into`/<name>/...), not
// by the hidden folder it is built in. Set only when the result is not 0 and the operation
// can tell; otherwise left as it was. Built only once a failure is recorded, so passing it
// costs a copy nothing per file.
using FailedAt = Below;

// How far a copy or removal has come. Called from the thread doing the work, after every
// file and, within a large file, every few megabytes.
class TreeProgress {
public:
    virtual ~TreeProgress() = default;
    // `files` whole files and `bytes` bytes done so far (a removal counts files only).
    // False asks a copy to stop: it ends at once with ECANCELED and leaves everything as it
    // was, its staging copy removed. A removal always goes on to its end, since a folder
    // half removed is worse than one whole.
    virtual bool Advance(std::uint64_t files, std::uint64_t bytes) = 0;
};

// A moment on a file system's own clock, as its timestamps give it: seconds since 1970 (UTC)
// and nanoseconds within the second (as fine as the file system keeps them).
struct FileTime {
    std::int64_t sec = 0;
    std::int32_t nsec = 0;
    friend auto operator<=>(const FileTime&, const FileTime&) = default;
};

// What a copy did, for the caller to record and report.
struct CopyStats {
    std::uint64_t linked = 0; // files that are links to the replaced copy's files
    std::uint64_t copied = 0; // files written anew
    // The file system's clock just before the copy began to read its source: what a later
    // copy of the same folder passes as `CopyOptions::readSince` to link what did not change.
    std::optional<FileTime> began;
};

struct CopyOptions {
    // Where the folder a copy replaces goes instead of being removed: it becomes
    // `keep`/<name>. The folders of `keep` are made as needed; <name> must not exist in the
    // last one. On the same mount as the old folder it moves there by renaming (no second
    // copy); elsewhere it is first copied there exactly (that copy all or nothing too), and
    // only then replaced. Nothing is kept when there was no old folder.
    std::optional<Below> keep;
    TreeProgress* progress = nullptr;
    // The caller holds the lock (LockFile) that keeps every other run of the program out of
    // `into` and `keep`: whatever a run left there under a staging name is a leftover,
    // whoever made it. Without it a leftover is judged by its process (which a reboot or
    // another machine sharing the folder can fool).
    bool exclusive = false;
    // Takes every file that did not change since the copy this one replaces (`into`/<name>)
    // was made as a hard link to that copy's file, so the two share it on the disk; every
    // other file is copied. Unchanged means the same bytes and everything a copy carries
    // over: size, modification time, mode (and owner, as root) equal, and the file's last
    // change (its ctime, ChangeTime on Windows) before `readSince`, the moment that copy
    // began to read (CopyStats::began), so nothing changed since it was read; a file changed
    // in that moment or later, or any file when `readSince` is unknown, is compared by its
    // bytes and extended attributes first. Where a link cannot be made (a file system
    // without them, a file at its link limit) the file is copied. Within one copy, names
    // that are one file in `from` stay one file, with or without this.
    bool linkUnchanged = false;
    std::optional<FileTime> readSince{};
    CopyStats* stats = nullptr;
    // For tests: every hard link fails with this error number, as on a file system that has
    // none; 0 in the program.
    int refuseLinks = 0;
};

// Makes `into`/<last name of `from`> an exact copy of the folder `from`: the same entries
// with the same content, modes, times, extended attributes and access lists (and owners,
// when run as root), sparse files with their holes, and nothing else: what only an older
// copy held is gone afterwards. All or nothing: the copy is built beside the old one in
// `into`, under a hidden name that carries the process id (here
// ".<name>.dittoly-<pid>-<n>.new"), and takes the old one's place only once complete;
// only then is the old one removed (or, with `keep`, moved away), so both need room on
// the disk meanwhile. A copy that fails (a file that cannot be read, a full disk), is
// stopped or is killed leaves the old one exactly as it was. Without `keep` the old and
// the new copy change places in one step; with it the old one moves away first, and a
// kill between that and the new copy's move into place (a moment) leaves the complete new
// copy under a hidden name that the next copy into `into` puts in place. Entries that are
// never copied (links, devices, pipes, sockets, mounts) make the result non-zero but do
// not keep an otherwise complete copy from its place; nor does an old copy that could not
// be removed afterwards. Each copy first finishes or removes what copies of processes
// that no longer exist left in `into`; a run in progress elsewhere is never disturbed.
// Refused: copying a folder into itself or below itself, and replacing a folder that
// holds the source. The folder `into` must exist.
// Durable before it is published: the complete copy is on the disk before it takes the
// old one's place, and each rename that moves a folder into place or away (into `keep`) is
// on the disk before CopyTree returns 0; so a power cut, like a kill, leaves one whole
// state.
int CopyTree(const Below& from, const Below& into, const CopyOptions& options = {},
             FailedAt* where = nullptr);

// Removes the last name of `path` with its whole content, for good. Folders of the user's
// own that are read-only or unreadable are opened up to be removed. A path that does not
// exist is a failure, and so is one whose last name is a link or a mount point (both
// stay). What cannot be removed stays, with the folders above it, and is reported.
int RemoveTree(const Below& path, TreeProgress* progress = nullptr, FailedAt* where = nullptr);

// Removes the folder `path` so that it is never seen half removed under its own name: it
// is renamed to a hidden name beside it first (here ".<name>.dittoly-<pid>-<n>.gone"),
// then removed. What a killed removal left under such a name goes with the next
// DiscardTree or CopyTree in the same folder. `exclusive` as for CopyOptions.
int DiscardTree(const Below& path, bool exclusive = false, FailedAt* where = nullptr);

// Finishes or removes what copies and removals of processes that have ended left in the
// folder `path`, for every name in it: a complete copy goes where it belonged when that
// place is free, anything else goes. For the program's own folders only (a backup's
// History); in an app's folder a copy clears only what carries its own name. With
// `exclusive` (see CopyOptions) every such name is a leftover, whatever process made it.
void ClearLeftovers(const Below& path, bool exclusive = false);

// The names in the folder `path` that ClearLeftovers(path, true) would finish or remove,
// as they are found. Nothing is changed.
std::vector<std::string> FindLeftovers(const Below& path);

// Whether the folders `a` and `b` hold the same thing, as an exact copy would make it: the
// same names, each of the same kind, every file with the same bytes, and whatever CopyTree
// carries over the same (modes or attributes, modification times, extended attributes and
// access lists; owners when run as root). Access times are not compared. A link, device or
// other entry that a copy leaves out makes them differ. Neither is changed. 0 and `same`
// set, or an errno when either could not be read whole (`same` then false).
// With `readSince` (see CopyOptions), a file of `a` whose last change came before it and
// whose size, time and mode match is taken as the same without reading either file.
int CompareTrees(const Below& a, const Below& b, bool& same,
                 const std::optional<FileTime>& readSince = std::nullopt);

// The regular files below the folder `path` and their bytes, as a copy would carry them:
// no link followed, no mount crossed, hidden entries counted too. 0 or errno.
struct TreeSize {
    std::uint64_t files = 0;
    std::uint64_t bytes = 0;
};
int MeasureTree(const Below& path, TreeSize& size);

// Each regular file below the folder `path`, once per name, as the same walk reaches it:
// who it is on its volume (names of one file give the same `volume` and `index`), how many
// names it has in all, and its bytes. So a caller can count shared files once. 0 or errno.
struct FileIdentity {
    std::uint64_t volume = 0;
    std::uint64_t index = 0;
    std::uint64_t links = 1;
    std::uint64_t bytes = 0;
};
int ListFiles(const Below& path, const std::function<void(const FileIdentity&)>& visit);

// What a folder is, as far as its history needs: an identity that stays with it through
// renames on its volume (inode, file index on Windows; empty where the system has none)
// and its modification time in seconds since 1970 (UTC). nullopt when `path` is not a real
// folder reached as every tree operation reaches one.
struct FolderFacts {
    std::string identity;
    std::int64_t modified = 0;
};
std::optional<FolderFacts> InspectFolder(const Below& path);

// ---- Locks ----

// An exclusive lock on one file, taken by LockFile. The system releases it when this
// object goes, or when the process ends however it ends (killed, crashed, the machine
// off), so no lock ever outlives its holder. Another LockFile of the same file, in any
// process (this one included), cannot take it meanwhile.
class FileLock {
public:
    FileLock() = default;
    ~FileLock() { Release(); }
    FileLock(FileLock&& other) noexcept : handle_(other.handle_) { other.handle_ = kNone; }
    FileLock& operator=(FileLock&& other) noexcept {
        if (this != &other) {
            Release();
            handle_ = other.handle_;
            other.handle_ = kNone;
        }
        return *this;
    }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    bool Held() const { return handle_ != kNone; }
    void Release();

private:
    friend int LockFile(const Below&, const std::string&, int, FileLock&, std::string&, FailedAt*);
    static constexpr std::intptr_t kNone = -1;
    std::intptr_t handle_ = kNone; // a descriptor here, a HANDLE on Windows
};

// Takes the lock on the file `at` (made when missing; the folders above it must exist and
// are reached as every tree operation reaches them), waiting up to `waitMs` milliseconds
// for a holder to let go. Taken, it writes `note` into the file for others to read (until
// Release empties it again) and returns 0. EWOULDBLOCK when another holder keeps it:
// `holder` is then what that holder wrote (empty when it wrote nothing yet). Else an errno.
int LockFile(const Below& at, const std::string& note, int waitMs, FileLock& lock,
             std::string& holder, FailedAt* where = nullptr);

// This process as a lock's note names it: "process <number> on <host name>".
std::string ThisProcess();

// Creates the last name of `path` as a folder; everything above it must exist already.
// True when it exists afterwards as a real folder on the root's mount. A folder it made is
// on the disk (its entry in the folder above flushed) before it returns, where the system
// can flush a folder (not on Windows, whose file systems log a new folder themselves).
bool MakeFolder(const Below& path);

// Creates the root with every missing parent (as CreateFolderChain), then each name below
// it that is missing. True when the whole chain exists afterwards as real folders on the
// root's mount.
bool MakeFolderChain(const Below& path);

// Text files (settings, app list, log) hold the system's 8-bit code page on disk; inside
// the program text is UTF-8. These convert a whole file's content; both are the identity
// where the system code page is UTF-8. Content the code page cannot hold (a package name
// in another script) is written as UTF-8 behind a byte-order mark instead, so no name is
// lost or turned into another; a file that starts with that mark is read as UTF-8.
std::string ToFileText(std::string_view utf8);
std::string FromFileText(std::string_view bytes);

// The largest settings or app-list file the program reads, in bytes. Its own files stay
// far below it; a bigger one was not written by it and counts as damaged.
inline constexpr std::size_t kMaxTextFileBytes = 16 * 1024 * 1024;

// Reads a whole regular file (or one a link leads to) of at most kMaxTextFileBytes.
// Never waits: a pipe, device or socket is refused without being read. nullopt when the
// file is missing, not a regular file, too big, or cannot be read.
std::optional<std::string> ReadWholeFile(const std::string& path);

// What stands where one of the program's own text files belongs.
enum class TextFile : std::uint8_t {
    Absent,   // nothing at all, not even a dangling link: a write may create the file
    Readable, // what ReadWholeFile reads
    Unusable, // anything else: never read, and never replaced by the settings writers
};
TextFile TextFileAt(const std::string& path);

// Replaces `path` with `content` through a temporary file and a rename, so a reader or a
// crash sees either the whole old or the whole new file. The new file's content is on the
// disk before the rename, and the rename before it returns true, so a power cut leaves one
// whole file too. Never creates the folder. False when the file could not be written.
// With `throughLink`, a link at `path` stays and the file it finally leads to is
// replaced (a dangling or looping link fails); without it a link at `path` is replaced
// itself and never followed. The temporary file sits beside the file replaced, named
// "<name>.tmp-<process id>-<random>"; such files of processes that have ended are
// removed by the next replacement of the same file.
bool ReplaceFile(const std::string& path, std::string_view content, bool throughLink = false);

// One entry of a folder as the walk sees it. `Other` covers devices, sockets, pipes and
// dangling links. `Hidden` is what this system hides from a listing (a leading dot here,
// the hidden or system attribute on Windows): every walk passes over it, whatever it is.
enum class EntryKind : std::uint8_t { File, Folder, LinkToFolder, Other, Hidden };

// Calls `visit` with every entry of `folder` except "." and "..", in the order the
// system returns them; `visit` returns false to stop early. False when the folder
// could not be opened.
bool ListFolder(const std::string& folder,
                const std::function<bool(std::string_view name, EntryKind kind)>& visit);

// Starts the system's store-cache reset tool as a separate process, in a normal window,
// without waiting for it. False only when it could not be started; what the tool then
// does is never observed.
bool StartStoreCacheReset();

// Takes the keyboard and mouse messages the system still queues for this thread's windows
// out of the queue, so none is read after this (Windows). Elsewhere the window system's
// input waits in Qt's own queue, and this does nothing.
void DiscardQueuedInput();

} // namespace platform
