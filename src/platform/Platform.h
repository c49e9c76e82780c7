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

// What every tree operation promises, whatever the outcome:
// - Nothing outside the tree it was given is changed or removed. Inside it no link is
//   followed (a link is copied as nothing and removed as a link) and no mount is crossed
//   (left alone, and reported).
// - The result is 0 only when the whole job was done; otherwise an errno-style number of
//   the first thing that went wrong.
// - Any depth works with a handful of open descriptors. The walks climb back through "..";
//   a folder moved away while they work ends the walk with an error, never somewhere else.

// Makes `into`/<last name of `from`> an exact copy of the folder `from`: the same entries
// with the same content, modes, times, extended attributes and access lists (and owners,
// when run as root), sparse files with their holes, and nothing else: what only an older
// copy held is gone afterwards. All or nothing: the copy is built beside the old one in
// `into`, under a hidden name that carries the process id (here
// ".<name>.dittoly-<pid>-<n>.new"), and takes the old one's place in one step once
// complete; only then is the old one removed, so both need room on the disk meanwhile. A
// copy that fails (a file that cannot be read, a full disk) or is killed leaves the old
// one exactly as it was. Entries that are never copied (links, devices, pipes, sockets,
// mounts) make the result non-zero but do not keep an otherwise complete copy from its
// place; nor does an old copy that could not be removed afterwards. Each copy first
// removes what copies of processes that no longer exist left in `into`; a run in progress
// elsewhere is never disturbed. Refused: copying a folder into itself or below itself,
// and replacing a folder that holds the source. The folder `into` must exist.
int CopyTree(const Below& from, const Below& into);

// Removes the last name of `path` with its whole content, for good. Folders of the user's
// own that are read-only or unreadable are opened up to be removed. A path that does not
// exist is a failure, and so is one whose last name is a link or a mount point (both
// stay). What cannot be removed stays, with the folders above it, and is reported.
int RemoveTree(const Below& path);

// Creates the last name of `path` as a folder; everything above it must exist already.
// True when it exists afterwards as a real folder on the root's mount.
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
// crash sees either the whole old or the whole new file. Never creates the folder. False
// when the file could not be written.
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

} // namespace platform
