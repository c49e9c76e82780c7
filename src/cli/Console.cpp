#include "cli/Console.h"

#include <iostream>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace console {

#ifdef _WIN32
namespace {

bool IsConsole(HANDLE handle) {
    DWORD mode = 0;
    return handle != nullptr && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode);
}

// Collects what a stream writes and hands the console whole characters as UTF-16: at
// each line end and each flush, keeping back a character cut off at the end of a write.
class ConsoleBuffer : public std::streambuf {
public:
    explicit ConsoleBuffer(HANDLE handle) : handle_(handle) {}

protected:
    int_type overflow(int_type c) override {
        if (!traits_type::eq_int_type(c, traits_type::eof())) {
            const char ch = traits_type::to_char_type(c);
            xsputn(&ch, 1);
        }
        return traits_type::not_eof(c);
    }
    std::streamsize xsputn(const char* text, std::streamsize count) override {
        pending_.append(text, static_cast<std::size_t>(count));
        if (pending_.find('\n') != std::string::npos) {
            sync();
        }
        return count;
    }
    int sync() override {
        // The bytes of a character cut off at the end wait for the rest.
        std::size_t whole = pending_.size();
        for (std::size_t back = 1; back <= 3 && back <= pending_.size(); ++back) {
            const auto byte = static_cast<unsigned char>(pending_[pending_.size() - back]);
            if ((byte & 0xC0) != 0x80) {
                const std::size_t length = byte >= 0xF0   ? 4
                                           : byte >= 0xE0 ? 3
                                           : byte >= 0xC0 ? 2
                                                          : 1;
                if (length > back) {
                    whole = pending_.size() - back;
                }
                break;
            }
        }
        // Bytes that are no UTF-8 show as the replacement character.
        const int units =
            MultiByteToWideChar(CP_UTF8, 0, pending_.data(), static_cast<int>(whole), nullptr, 0);
        std::wstring wide(static_cast<std::size_t>(units), L'\0');
        MultiByteToWideChar(CP_UTF8, 0, pending_.data(), static_cast<int>(whole), wide.data(),
                            units);
        DWORD written = 0;
        const bool ok = wide.empty() || WriteConsoleW(handle_, wide.data(),
                                                      static_cast<DWORD>(units), &written, nullptr);
        pending_.erase(0, whole);
        return ok ? 0 : -1;
    }

private:
    HANDLE handle_;
    std::string pending_;
};

std::ostream* const kStreams[2] = {&std::cout, &std::cerr};
const DWORD kHandles[2] = {STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};

} // namespace
#endif

TextRoute::TextRoute() {
#ifdef _WIN32
    for (int i = 0; i < 2; ++i) {
        const HANDLE handle = GetStdHandle(kHandles[i]);
        if (IsConsole(handle)) {
            console_[i] = new ConsoleBuffer(handle);
            before_[i] = kStreams[i]->rdbuf(console_[i]);
        }
    }
#endif
}

TextRoute::~TextRoute() {
#ifdef _WIN32
    for (int i = 0; i < 2; ++i) {
        if (console_[i] != nullptr) {
            kStreams[i]->flush();
            kStreams[i]->rdbuf(before_[i]);
            delete console_[i];
        }
    }
#endif
}

bool InputIsTerminal() {
#ifdef _WIN32
    return IsConsole(GetStdHandle(STD_INPUT_HANDLE));
#else
    return isatty(STDIN_FILENO) != 0;
#endif
}

std::optional<std::string> ReadLine() {
#ifdef _WIN32
    // Typed into a console, the line comes as UTF-16.
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    if (IsConsole(input)) {
        std::wstring line;
        wchar_t unit = 0;
        DWORD read = 0;
        bool any = false;
        while (ReadConsoleW(input, &unit, 1, &read, nullptr) && read == 1 && unit != L'\n') {
            any = true;
            if (unit != L'\r') {
                line += unit;
            }
        }
        if (!any && read != 1) {
            return std::nullopt;
        }
        const int size = static_cast<int>(line.size());
        const int length =
            WideCharToMultiByte(CP_UTF8, 0, line.data(), size, nullptr, 0, nullptr, nullptr);
        std::string text(static_cast<std::size_t>(length), '\0');
        WideCharToMultiByte(CP_UTF8, 0, line.data(), size, text.data(), length, nullptr, nullptr);
        return text;
    }
#endif
    std::string line;
    return std::getline(std::cin, line) ? std::optional(line) : std::nullopt;
}

} // namespace console
