#pragma once
// The only place that knows the operating system. Every service the program takes
// from the system has one function here, so a second platform can be added below
// these declarations without touching a caller.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// Native path separator. Every shared path is built by plain concatenation with it,
// and trailing separators are kept so that status lines print paths as built.
inline constexpr char kSep = '/';
inline constexpr char kSepStr[] = "/";

// The user's profile folder as the system reports it; it may end in a separator
// (GetSpecialFolder strips one). Empty when the system cannot tell.
std::string ProfileFolder();

// The folder that holds the program file, without a trailing separator
// (the root folder keeps its own).
std::string ProgramFolder();

// Attribute tests that never fail with an error: an unreadable or missing path is
// simply not a folder and not a file.
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
// where the system code page is UTF-8.
std::string ToFileText(std::string_view utf8);
std::string FromFileText(std::string_view bytes);

// Reads a whole file; nullopt when it cannot be opened or read.
std::optional<std::string> ReadWholeFile(const std::string& path);

// Replaces `path` with `content` through a temporary file in the same folder and a
// rename, so a reader or a crash sees either the whole old or the whole new file.
// Never creates the folder. False when the file could not be written.
bool ReplaceFile(const std::string& path, std::string_view content);

// One entry of a folder as the walk sees it. `Other` covers devices, sockets, pipes and
// dangling links: what Windows would mark as system entries.
enum class EntryKind : std::uint8_t { File, Folder, LinkToFolder, Other };

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
