#pragma once
// Where the command line's words go: data (status lines, JSON, help) to stdout, talk
// (questions, progress, reasons, messages) to stderr. Every byte it prints passes through
// here, and every question about a terminal too.

#include <string_view>

namespace cli {

void Out(std::string_view utf8);
void Err(std::string_view utf8);

// Whether a person can answer on stdin, and whether one watches stderr (for progress).
bool InputIsTerminal();
bool ErrorIsTerminal();

} // namespace cli
