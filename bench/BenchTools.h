#pragma once
// What the file benchmarks share: processes timed by the clock and by the CPU time the
// system charged them, medians of alternating runs, and the trees they copy.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace bench {

// Ends the benchmark with the system's words for errno, after removing `Scratch()`.
[[noreturn]] void Die(const std::string& what);
// The folder the benchmark works in; Die removes it, so a failed run leaves nothing behind.
void SetScratch(const std::string& folder);

void MakeDir(const std::string& path);

// Runs a program and waits for it; a failure ends the benchmark. With `output` its stdout
// and stderr go to that file (and are shown when it fails); with `home` it sees that folder
// as HOME, where our program looks for the profile.
void Run(const std::vector<std::string>& args, const std::string& output = {},
         const std::string& home = {});
std::string ReadText(const std::string& path);

// Wall time, and the user and system time of the processes it started and waited for.
struct Cost {
    double wall = 0;
    double cpu = 0;
};
// `work` timed after a `sync`, so it does not pay for what was written before it.
Cost Measure(const std::function<void()>& work);

// Alternates who goes first, so a cache or writeback effect that favours the second
// runner favours each side equally often.
void Pair(int run, const std::function<void()>& ours, const std::function<void()>& theirs);

// The medians of both sides with their ratios beside the target, then the single runs, so
// a disturbed run shows as one and is not taken for a trend.
void Report(const std::string& what, const std::string& tool, const std::vector<Cost>& ours,
            const std::vector<Cost>& theirs, double target);

// Returns once the clock has passed into a second after the present one, so that what was
// written before is older than the next copy's start on any file system's clock.
void WaitNextSecond();

// An app's Settings as a user's apps hold them: folders of files of mixed sizes, mostly
// small, some of a few hundred KiB, a few of many MiB, each of different bytes.
class Tree {
public:
    void Build(const std::string& root);
    std::size_t Files() const { return sizes_.size(); }
    std::uint64_t Bytes() const;
    std::size_t Folders() const { return folders_; }
    std::uint64_t Largest() const;
    // Writes new bytes over `count` files picked at random (a different pick each call);
    // their bytes in all.
    std::uint64_t Change(std::size_t count);
    // Gives every file a new modification time, as if each had been written again.
    void TouchAll() const;

private:
    std::vector<std::string> paths_;
    std::vector<std::size_t> sizes_;
    std::size_t folders_ = 0;
    std::uint64_t pick_ = 0x2545F4914F6CDD1Dull;
    std::uint64_t writes_ = 0; // every write takes its bytes from another place in the noise
    void Write(std::size_t index);
};

} // namespace bench
