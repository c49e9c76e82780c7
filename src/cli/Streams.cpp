#include "cli/Streams.h"

#include "cli/Console.h"

#include <cstdio>
#include <iostream>
#include <iterator>

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

std::string Counted(std::uint64_t count, std::string_view noun) {
    return std::to_string(count) + ' ' + std::string(noun) + (count == 1 ? "" : "s");
}

std::string Size(std::uint64_t bytes) {
    const char* const units[] = {"bytes", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    if (bytes < 1024) {
        return Counted(bytes, "byte");
    }
    // The unit from the whole number of bytes, as QLocale::formattedDataSize picks it, so
    // that the terminal and the window show one size alike.
    std::size_t unit = 0;
    double value = static_cast<double>(bytes);
    for (std::uint64_t rest = bytes; rest >= 1024 && unit + 1 < std::size(units); rest /= 1024) {
        value /= 1024;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %s", value, units[unit]);
    return text;
}

} // namespace cli
