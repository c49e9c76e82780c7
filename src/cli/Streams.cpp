#include "cli/Streams.h"

#include <cstdio>

#ifdef _WIN32
#include <io.h>
#define DITTOLY_ISATTY(fd) _isatty(fd)
#else
#include <unistd.h>
#define DITTOLY_ISATTY(fd) ::isatty(fd)
#endif

namespace cli {

namespace {

void Write(std::FILE* stream, std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stream);
    std::fflush(stream);
}

} // namespace

void Out(std::string_view utf8) {
    Write(stdout, utf8);
}

void Err(std::string_view utf8) {
    Write(stderr, utf8);
}

bool InputIsTerminal() {
    return DITTOLY_ISATTY(0) != 0;
}

bool ErrorIsTerminal() {
    return DITTOLY_ISATTY(2) != 0;
}

} // namespace cli
