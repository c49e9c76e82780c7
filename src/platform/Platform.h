#pragma once
// The only place that knows the operating system. Every service the program takes
// from the system has one function here, so a second platform can be added below
// these declarations without touching a caller.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

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

// Creates one folder level; true when it exists afterwards as a folder.
bool MakeFolder(const std::string& path);

// Copies the folder `from` with its whole content into the folder `to`, so that `to`
// afterwards holds a folder of `from`'s name. Existing files are replaced, missing
// folders created. Each file is written under a temporary name and renamed into place,
// so no destination file is ever left half-written. Links are never copied or followed:
// one inside the tree makes the copy incomplete. 0 only on full success.
int CopyTree(const std::string& from, const std::string& to);

// Removes `path` with its whole content for good. A link is removed as a link and is
// never followed, so nothing outside the tree can go. 0 only on full success; a path
// that does not exist is a failure.
int RemoveTree(const std::string& path);

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

// Starts a program as a separate process without waiting for it. False when it could
// not be started (for example, the program does not exist).
bool StartDetached(const std::string& program);

} // namespace platform
