#pragma once
// The copy behind CopyTree, shared by the files that hold its parts: the walk and the bytes
// (TreeCopy.cpp) and the links it takes instead of copies (TreeLink.cpp).

#include "platform/posix/Tree.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace platform::posix {

class Copier {
public:
    explicit Copier(const CopyOptions& options) : options_(options) {}

    int failed = 0;  // the first failure that leaves the copy incomplete
    int skipped = 0; // the first entry of a kind that is never copied
    // Where each lay: the names below the top of the copy, and whether in what the copy
    // writes rather than in its source.
    std::vector<std::string> failedAt;
    bool failedWriting = false;
    std::vector<std::string> skippedAt;
    CopyStats stats;

    // Fills the empty folder open as `dst` (`stage`, the top of the copy, which stays open
    // meanwhile) with the content of the folder open as `src` and gives every folder it
    // made, `dst` included, its source's metadata at the end. With `old` (the copy this one
    // replaces, a bare reference) files that did not change since it was made are linked.
    void Tree(Fd src, const Node& srcNode, Fd dst, const Node& dstNode, int stage, Fd old,
              const Node& oldNode);

private:
    struct Level {
        Node src;
        Node dst;
        Node old;
        std::string name; // below the level above
        std::vector<std::string> folders;
        std::size_t next = 0;
    };
    const CopyOptions& options_;
    const bool root_ = ::geteuid() == 0;
    bool kernelCopy_ = true;
    Node home_;
    TreeProgress* const progress_ = options_.progress;
    int stage_ = -1;
    // The old copy's folder that matches the level `oldLevel_` of the walk: files are linked
    // only while that is the level the walk is at. Below a folder the old copy lacks the
    // walk goes on without it and takes it up again on the way back.
    Fd old_;
    std::size_t oldLevel_ = 0;
    bool oldKnown_ = false;
    std::vector<Level> stack_;
    // Files of the source with more than one name, by (device, inode): where the first name
    // went in the copy, relative to its top, and whether it is the old copy's file. Later
    // names count as the first did, so that `linked` says what the old copy shares.
    struct Seen {
        std::string path;
        bool fromOld = false;
    };
    std::map<std::pair<dev_t, ino_t>, Seen> namesSeen_;
    Matcher matcher_;
    std::uint64_t files_ = 0;
    std::uint64_t bytes_ = 0; // of the files done, and of the one going, up to `told_`
    std::uint64_t told_ = 0;  // bytes at the last report
    // The progress of `files_` and `bytes_`; a stop asked for fails the copy.
    void Report(std::uint64_t bytes) {
        told_ = bytes;
        if (progress_ != nullptr && !progress_->Advance(files_, bytes)) {
            Fail(ECANCELED, nullptr);
        }
    }
    std::vector<char> buffer_;
    bool writeFailed_ = false; // the failure in the data was a write's
    std::vector<char> names_ = std::vector<char>(1024);
    std::vector<char> value_ = std::vector<char>(4096);

    // `name` in the folder the walk is in (none: that folder itself) failed or was left
    // out; the first of each is remembered with where it lay, its path built only then.
    void Fail(int error, const char* name, bool writing = false) {
        if (failed == 0) {
            failed = error != 0 ? error : EIO;
            failedAt = NamesInCopy(name);
            failedWriting = writing;
        }
    }
    void Skip(int error, const char* name) {
        if (skipped == 0) {
            skipped = error;
            skippedAt = NamesInCopy(name);
        }
    }
    // An entry that could not be opened: gone since the listing is nothing to copy, one
    // that became a link is skipped, anything else fails the copy.
    void NotOpened(int error, const char* name) {
        if (error == ELOOP || error == ENOTDIR) {
            Skip(ELOOP, name);
        } else if (error != ENOENT) {
            Fail(error, name);
        }
    }
    // What only the side written to can cause.
    static bool Writing(int error) {
        return error == ENOSPC || error == EDQUOT || error == EFBIG || error == EROFS;
    }
    void Fill(int src, int dst, Level& level);
    void File(int srcDir, int dstDir, const char* name);
    bool FromOld(int srcDir, int dstDir, const char* name);
    bool SecondName(const Node& node, int dstDir, const char* name);
    int Link(int fromDir, const char* from, int dstDir, const char* name) const;
    std::string PathInCopy(const char* name) const;
    std::vector<std::string> NamesInCopy(const char* name) const;
    void Descend(const std::string& name);
    void Ascend();
    void Done(std::uint64_t size) {
        ++files_;
        bytes_ += size;
        Report(bytes_);
    }
    int Data(int in, int out, const Node& node);
    int Range(int in, int out, off_t from, off_t to);
    ssize_t Pass(int in, int out, off_t at, std::size_t want);
    int Attributes(int src, int dst, const Node& node);
    static int ModeAndTimes(int dst, const Node& node);
};

} // namespace platform::posix
