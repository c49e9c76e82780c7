// The measuring of a folder on Windows: the files and bytes a copy of it would carry,
// counted by the same walk a copy takes (see TreeWalk.cpp), so what a copy skips (links,
// devices) is never counted.
#include "platform/win/Tree.h"

#include <cerrno>
#include <string>
#include <vector>

namespace platform::wintree {

namespace {

void Measure(const std::wstring& folder, TreeSize& size, Outcome& outcome, int depth) {
    std::vector<Entry> entries;
    if (depth > kMaxDepth || !ListEntries(folder, entries)) {
        outcome.Fail(depth > kMaxDepth ? ENAMETOOLONG : LastErrno());
        return;
    }
    for (const Entry& entry : entries) {
        if (IsLink(entry.attributes) || (entry.attributes & FILE_ATTRIBUTE_DEVICE) != 0) {
            continue; // never copied, so never counted
        }
        if (!IsDirectory(entry.attributes)) {
            ++size.files;
            size.bytes += entry.size;
            continue;
        }
        int error = 0;
        const std::wstring path = Join(folder, entry.name);
        const Handle held = HoldFolder(path, false, error);
        if (error == 0) {
            Measure(path, size, outcome, depth + 1);
        } else if (error != ELOOP) {
            outcome.Fail(error);
        }
    }
}

} // namespace

} // namespace platform::wintree

namespace platform {

using namespace wintree;

int MeasureTree(const Below& path, TreeSize& size) {
    win::ForgetErrors();
    size = {};
    const Target at(path);
    int error = at.error;
    const Handle held = error == 0 ? HoldFolder(at.path, false, error) : Handle();
    if (error != 0) {
        return error;
    }
    Outcome outcome;
    Measure(at.path, size, outcome, 0);
    return outcome.first;
}

} // namespace platform
