// The measuring of a folder on Windows: the files a copy of it would carry, counted by the
// same walk a copy takes (see TreeWalk.cpp), so what a copy skips (links, devices) is never
// counted; each file with who it is on its volume, so a caller can count a file with
// several names once.
#include "platform/win/Tree.h"

#include <cerrno>
#include <functional>
#include <string>
#include <vector>

namespace platform::wintree {

namespace {

using Visit = std::function<void(const FileIdentity&)>;

// Who the file at `path` is; one whose handle cannot be had still counts, with its listed
// size and as a file of one name. False when it turned into a link since it was listed.
bool Identify(const std::wstring& path, std::uint64_t listed, FileIdentity& file) {
    file = {0, 0, 1, listed};
    const Handle held(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    if (!held.Valid() || !GetFileInformationByHandle(held.Get(), &info)) {
        return true;
    }
    // The size from the handle: a listing may show another name's stale one.
    file = {info.dwVolumeSerialNumber, IndexOf(info), info.nNumberOfLinks, SizeOf(info)};
    return !IsLink(info.dwFileAttributes);
}

void List(const std::wstring& folder, const Visit& visit, Outcome& outcome, int depth) {
    std::vector<Entry> entries;
    if (depth > kMaxDepth || !ListEntries(folder, entries)) {
        outcome.Fail(depth > kMaxDepth ? ENAMETOOLONG : LastErrno(), folder);
        return;
    }
    for (const Entry& entry : entries) {
        if (IsLink(entry.attributes) || (entry.attributes & FILE_ATTRIBUTE_DEVICE) != 0) {
            continue; // never copied, so never counted
        }
        const std::wstring path = Join(folder, entry.name);
        if (!IsDirectory(entry.attributes)) {
            if (FileIdentity file; Identify(path, entry.size, file)) {
                visit(file);
            }
            continue;
        }
        int error = 0;
        const Handle held = HoldFolder(path, false, error);
        if (error == 0) {
            List(path, visit, outcome, depth + 1);
        } else if (error != ELOOP) {
            outcome.Fail(error, path);
        }
    }
}

} // namespace

} // namespace platform::wintree

namespace platform {

using namespace wintree;

int ListFiles(const Below& path, const std::function<void(const FileIdentity&)>& visit) {
    win::ForgetErrors();
    const Target at(path);
    int error = at.error;
    const Handle held = error == 0 ? HoldFolder(at.path, false, error) : Handle();
    if (error != 0) {
        return error;
    }
    Outcome outcome;
    List(at.path, visit, outcome, 0);
    return outcome.first;
}

int MeasureTree(const Below& path, TreeSize& size) {
    size = {};
    return ListFiles(path, [&size](const FileIdentity& file) {
        ++size.files;
        size.bytes += file.bytes;
    });
}

} // namespace platform
