#pragma once
// What every fuzz target shares: a check that stops the run with a readable reason, and a
// scratch file of its own for the targets that go through the real file system.

#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <unistd.h>

// libFuzzer saves the input and reports a crash on the trap; the line before it says
// which property broke, so the crash file does not have to be replayed to find out.
#define FUZZ_CHECK(condition, what)                                                                \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "FUZZ_CHECK failed at %s:%d: %s\n  (%s)\n", __FILE__, __LINE__,   \
                         what, #condition);                                                        \
            __builtin_trap();                                                                      \
        }                                                                                          \
    } while (0)

namespace fuzzsupport {

// A folder of this process's own, so parallel fuzzer jobs never share a file; removed
// again when the fuzzer exits normally. Memory-backed /dev/shm when there is one: every
// save replaces a file by a rename, and on a journalled disk each of those waits for the
// data to reach the disk, which slows the INI target down a hundredfold.
class ScratchFolder {
public:
    explicit ScratchFolder(const std::string& target)
        : path_(std::string(::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") +
                "/dittoly-fuzz-" + target + "-" + std::to_string(::getpid())) {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
        std::filesystem::create_directories(path_);
    }
    ~ScratchFolder() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    std::string File(const std::string& leaf) const { return path_ + "/" + leaf; }

private:
    std::string path_;
};

// Writes the bytes as they are, independently of the code under test.
inline void WriteRaw(const std::string& path, const std::string& bytes) {
    std::FILE* out = std::fopen(path.c_str(), "wb");
    FUZZ_CHECK(out != nullptr, "cannot create the scratch file");
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
    FUZZ_CHECK(std::fclose(out) == 0 && written, "cannot write the scratch file");
}

inline std::string ReadRaw(const std::string& path) {
    std::string bytes;
    std::FILE* in = std::fopen(path.c_str(), "rb");
    FUZZ_CHECK(in != nullptr, "cannot open the scratch file");
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, in)) > 0;) {
        bytes.append(buffer, n);
    }
    std::fclose(in);
    return bytes;
}

} // namespace fuzzsupport
