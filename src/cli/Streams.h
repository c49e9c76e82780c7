#pragma once
// Where the command line's words go: data (status lines, JSON, help) to stdout, talk
// (questions, progress, reasons, messages) to stderr. Every byte it prints passes through
// here, and every question about a terminal too.

#include <cstdint>
#include <string>
#include <string_view>

namespace cli {

void Out(std::string_view utf8);
void Err(std::string_view utf8);

// Whether a person can answer on stdin, and whether one watches stderr (for progress).
bool InputIsTerminal();
bool ErrorIsTerminal();

// "1 file", "2 files": `count` and `noun`, made plural by an "s" unless it is one.
std::string Counted(std::uint64_t count, std::string_view noun);
// A size as a person reads it, by the rule the window follows too: bytes below 1 KiB,
// else binary units (1 KiB = 1024 bytes) with one decimal: "56 bytes", "2.0 GiB".
std::string Size(std::uint64_t bytes);

} // namespace cli
