#include "cli/Streams.h"

#include "cli/Console.h"

#include <iostream>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace cli {

// Through std::cout and std::cerr, which a console::TextRoute hands to a Windows console
// as UTF-16.
void Out(std::string_view utf8) {
    std::cout << utf8 << std::flush;
}

void Err(std::string_view utf8) {
    std::cerr << utf8 << std::flush;
}

bool InputIsTerminal() {
    return console::InputIsTerminal();
}

bool ErrorIsTerminal() {
#ifdef _WIN32
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
#else
    return ::isatty(STDERR_FILENO) != 0;
#endif
}

} // namespace cli
