#pragma once
// What every fuzz target shares: a check that stops the run with a readable reason, the
// entry that hands it the input, a scratch folder of its own, and the two text rules the
// settings files are read by, written here from the file format, not from the product.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
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

// The target's entry: `Check(const std::string& input)`. Anything it throws ends the
// process through std::terminate, which libFuzzer reports as a crash like any other.
#define FUZZ_TARGET(Check)                                                                         \
    extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {            \
        Check(std::string(reinterpret_cast<const char*>(data), size));                             \
        return 0;                                                                                  \
    }

namespace fuzzsupport {

// `leaf` in a folder of this process's own, so parallel fuzzer jobs never share a file;
// removed again when the fuzzer exits normally. Memory-backed /dev/shm when there is one:
// every save replaces a file by a rename, and on a journalled disk each of those waits for
// the data to reach the disk, which slows the INI target down a hundredfold.
inline std::string ScratchFile(const std::string& leaf) {
    static struct Folder {
        std::string path = std::string(::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") +
                           "/dittoly-fuzz-" + std::to_string(::getpid());
        std::error_code ignored; // removing at exit is tidying up, not a check
        Folder() { std::filesystem::create_directories(path); }
        ~Folder() { std::filesystem::remove_all(path, ignored); }
    } folder;
    return folder.path + "/" + leaf;
}

// The bytes as they are, independently of the code under test.
inline void WriteRaw(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    FUZZ_CHECK(out.flush().good(), "cannot write the scratch file");
}

inline std::string ReadRaw(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    FUZZ_CHECK(in.good(), "cannot open the scratch file");
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Names and values in the settings file are read without the white space around them.
inline std::string_view Trim(std::string_view s) {
    constexpr std::string_view kWhiteSpace = " \t\v\f\r\n";
    s.remove_prefix(std::min(s.find_first_not_of(kWhiteSpace), s.size()));
    return s.substr(0, s.find_last_not_of(kWhiteSpace) + 1); // npos + 1 is 0
}

// Names and words match ignoring the case of ASCII letters only.
inline bool SameIgnoringCase(std::string_view a, std::string_view b) {
    const auto up = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; };
    return std::ranges::equal(a, b, [&](char x, char y) { return up(x) == up(y); });
}

} // namespace fuzzsupport
