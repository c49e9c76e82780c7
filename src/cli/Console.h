#pragma once
// The command line's terminal. The program's text is UTF-8; a Windows console shows the
// bytes written to it in its own code page (an accented name comes out garbled), so there
// the text goes out as UTF-16 through the console's own calls. Written to a file or a pipe
// it stays UTF-8 bytes, on every system.

#include <optional>
#include <streambuf>
#include <string>

namespace console {

// While it lives, std::cout and std::cerr go through the console's UTF-16 calls where
// they are a console. One is made at the start of main.
class TextRoute {
public:
    TextRoute();
    ~TextRoute();
    TextRoute(const TextRoute&) = delete;
    TextRoute& operator=(const TextRoute&) = delete;

private:
    std::streambuf* console_[2] = {}; // for std::cout and std::cerr, or none
    std::streambuf* before_[2] = {};
};

// True when standard input is a terminal someone types at: a console on Windows (not the
// null device, which is a character device too), a tty elsewhere.
bool InputIsTerminal();

// One line typed on standard input, without its line end; nullopt at the end of input.
std::optional<std::string> ReadLine();

} // namespace console
