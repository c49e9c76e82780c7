#pragma once
// What every fuzz target shares: a check that stops the run with a readable reason, the
// entry that hands it the input, a scratch folder of its own (the tests' fixtures), and the
// two text rules the settings files are read by, written here from the file format, not
// from the product.

#include "Fixtures.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

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
// removed again when the fuzzer exits normally. The fuzz command points the temporary
// folder at /dev/shm, so the many renames never wait for a disk.
inline std::string ScratchFile(const std::string& leaf) {
    static const testsupport::TempDir folder;
    return (folder.path() / leaf).string();
}
using testsupport::ReadText;
using testsupport::WriteText;

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
