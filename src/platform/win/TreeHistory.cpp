// Where the folder a Windows copy replaces goes when it is kept (an app's History): the
// folders of the place made and held like every other, and the old copy moved there
// before the new one takes its place.
//
// On the same volume the old copy moves there by a rename, as one step of the swap
// (TreeSwap.cpp), so nothing is copied twice. On another volume a rename cannot reach,
// so the old copy is first copied there exactly (that copy all or nothing too), and then
// goes as without keeping. A copy that gives up takes back what it made for keeping.
#include "platform/win/Tree.h"

#include <cerrno>
#include <cstdint>
#include <optional>
#include <string>

namespace platform::wintree {

namespace {

// The progress of a second copy that goes on counting from where the first one ended.
class CountingOn final : public TreeProgress {
public:
    CountingOn(TreeProgress& inner, std::uint64_t files, std::uint64_t bytes)
        : inner_(inner), files_(files), bytes_(bytes) {}
    bool Advance(std::uint64_t files, std::uint64_t bytes) override {
        return inner_.Advance(files_ + files, bytes_ + bytes);
    }

private:
    TreeProgress& inner_;
    std::uint64_t files_;
    std::uint64_t bytes_;
};

} // namespace

KeepPlace::KeepPlace(const Below& keep, const std::wstring& name)
    : chain(keep, keep.names.size(), &made), path(Join(chain.path, name)) {}

// The folders made for it go again when nothing was kept (one that is not empty stays).
void KeepPlace::Unmake() {
    chain.held.clear();
    for (auto folder = made.rbegin(); folder != made.rend(); ++folder) {
        RemoveDirectoryW(folder->c_str());
    }
}

// Back to nothing kept, when the copy gives up: an exact copy made on another volume goes
// again, and so do the folders made for it.
void Keeping::GiveUp() {
    if (keep) {
        if (copiedOld) {
            RemoveWhole(keep->path);
        }
        keep->Unmake();
    }
}

// Readies `keeping` for the copy of `from` into `into` under `name`, once its new copy is
// complete: nothing to do without `options.keep` or without an old copy at `current`;
// else the place is made and held, and on another volume than `destination` (the held
// folder `into`) the old copy is copied there, its progress counting on from the `files`
// and `bytes` of the new copy. 0 or the error that stops the copy.
int PrepareKeep(Keeping& keeping, const Below& from, const Below& into, const std::wstring& name,
                const Handle& destination, const std::wstring& current, const CopyOptions& options,
                std::uint64_t files, std::uint64_t bytes, FailedAt* where) {
    std::optional<KeepPlace>& keep = keeping.keep;
    if (options.keep && Exists(current)) {
        keep.emplace(*options.keep, name);
        if (keep->chain.error != 0) {
            Tell(where, *options.keep, keep->chain);
            return keep->chain.error;
        }
        if (Exists(keep->path)) {
            Tell(where, *options.keep, options.keep->names.size(), {from.names.back()});
            return EEXIST;
        }
        if (SameVolume(destination, keep->chain.held.back())) {
            keeping.keepAt = keep->path;
        } else {
            Below old = into;
            old.names.push_back(from.names.back());
            std::optional<CountingOn> counting;
            CopyOptions exact;
            if (options.progress != nullptr) {
                exact.progress = &counting.emplace(*options.progress, files, bytes);
            }
            // Anything it could not carry (a link) would be lost with the old copy.
            const int kept = CopyTree(old, *options.keep, exact, where);
            keeping.copiedOld = Exists(keep->path);
            if (kept != 0) {
                return kept;
            }
        }
    }
    return 0;
}

} // namespace platform::wintree
