// Windows text at the system's edge: the one place where names cross between the program
// (WTF-8) and the system (UTF-16), the form every path takes on its way to a call, and the
// mapping of system error codes to the errno-style numbers the tree operations return,
// with the system's own words for them. Every call is the wide-character one; text turns
// into UTF-16 only at the call, through these.
#include "platform/Platform.h"
#include "platform/WinText.h"

#include <windows.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <cwchar>

namespace platform {

namespace win {

std::string Narrow(std::wstring_view wide) {
    std::string out;
    out.reserve(wide.size());
    for (std::size_t i = 0; i < wide.size(); ++i) {
        char32_t c = wide[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < wide.size() && wide[i + 1] >= 0xDC00 &&
            wide[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (wide[++i] - 0xDC00);
        }
        // An unpaired surrogate falls through as a three-byte unit of its own.
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::optional<std::wstring> Wide(std::string_view text) {
    std::wstring out;
    out.reserve(text.size());
    bool afterHighSurrogate = false;
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const std::size_t length = lead < 0x80   ? 1
                                   : lead < 0xC2 ? 0
                                   : lead < 0xE0 ? 2
                                   : lead < 0xF0 ? 3
                                   : lead < 0xF5 ? 4
                                                 : 0;
        if (length == 0 || i + length > text.size() || lead == 0) {
            return std::nullopt;
        }
        char32_t c = length == 1 ? lead : lead & (0x7F >> length);
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) {
                return std::nullopt;
            }
            c = (c << 6) | (next & 0x3F);
        }
        // Overlong forms and values past Unicode would give a second spelling of a name.
        const char32_t least = length == 2 ? 0x80 : length == 3 ? 0x800 : 0x10000;
        if ((length > 1 && c < least) || c > 0x10FFFF) {
            return std::nullopt;
        }
        // A pair written as two separate units would read back as the four-byte form,
        // which is another spelling of the same name.
        const bool low = c >= 0xDC00 && c <= 0xDFFF;
        if (low && afterHighSurrogate) {
            return std::nullopt;
        }
        afterHighSurrogate = c >= 0xD800 && c <= 0xDBFF;
        if (c >= 0x10000) {
            out += static_cast<wchar_t>(0xD800 + ((c - 0x10000) >> 10));
            out += static_cast<wchar_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            out += static_cast<wchar_t>(c);
        }
        i += length;
    }
    return out;
}

namespace {

bool HasOddComponent(std::wstring_view path) {
    // "." and ".." would be taken literally behind \\?\, and so would an empty component.
    for (std::size_t start = 0; start <= path.size();) {
        std::size_t end = path.find(L'\\', start);
        if (end == std::wstring_view::npos) {
            end = path.size();
        }
        const std::wstring_view part = path.substr(start, end - start);
        if (part == L"." || part == L".." || (part.empty() && end != path.size())) {
            return true;
        }
        start = end + 1;
    }
    return false;
}

// The \\?\ form of a drive or network path that holds nothing the system would have to
// tidy up first; nullopt otherwise.
std::optional<std::wstring> Prefixed(const std::wstring& w) {
    if (w.find(L'/') != std::wstring::npos) {
        return std::nullopt;
    }
    const wchar_t letter = static_cast<wchar_t>(w.empty() ? 0 : (w[0] | 0x20));
    if (w.size() >= 3 && letter >= L'a' && letter <= L'z' && w[1] == L':' && w[2] == L'\\' &&
        !HasOddComponent(std::wstring_view(w).substr(3))) {
        return L"\\\\?\\" + w;
    }
    if (w.size() > 2 && w.starts_with(L"\\\\") && w[2] != L'.' && w[2] != L'?' &&
        !HasOddComponent(std::wstring_view(w).substr(2))) {
        return L"\\\\?\\UNC\\" + w.substr(2);
    }
    return std::nullopt;
}

} // namespace

std::optional<std::wstring> SystemPath(const std::string& path) {
    const std::optional<std::wstring> wide = Wide(path);
    if (!wide || wide->empty()) {
        return std::nullopt;
    }
    if (wide->starts_with(L"\\\\?\\")) {
        return wide;
    }
    if (auto prefixed = Prefixed(*wide)) {
        return prefixed;
    }
    // Anything else ("/", ".", "..", a relative path) the system tidies up first. A device
    // name ("NUL", "COM1") comes back as \\.\ and is never a file of ours.
    const DWORD need = GetFullPathNameW(wide->c_str(), 0, nullptr, nullptr);
    if (need == 0) {
        return std::nullopt;
    }
    std::wstring full(need, L'\0');
    const DWORD got = GetFullPathNameW(wide->c_str(), need, full.data(), nullptr);
    if (got == 0 || got >= need) {
        return std::nullopt;
    }
    full.resize(got);
    return Prefixed(full);
}

std::wstring Join(const std::wstring& folder, std::wstring_view name) {
    std::wstring path = folder;
    if (!path.empty() && path.back() != L'\\') {
        path += L'\\';
    }
    path += name;
    return path;
}

namespace {

// For each number, the last system error code ErrnoOf turned into it on this thread, so
// ErrorText can give the system's own words for it.
thread_local std::array<unsigned long, 160> lastMapped{};

int Map(unsigned long error) {
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
        return EACCES;
    case ERROR_ALREADY_EXISTS:
    case ERROR_FILE_EXISTS:
        return EEXIST;
    case ERROR_DIR_NOT_EMPTY:
        return ENOTEMPTY;
    case ERROR_DIRECTORY:
        return ENOTDIR;
    case ERROR_FILENAME_EXCED_RANGE:
        return ENAMETOOLONG;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return ENOSPC;
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
        return EINVAL;
    case ERROR_WRITE_PROTECT:
        return EROFS;
    case ERROR_NOT_SAME_DEVICE:
        return EXDEV;
    case ERROR_REQUEST_ABORTED:
        return ECANCELED;
    default:
        return EIO;
    }
}

} // namespace

int ErrnoOf(unsigned long error) {
    const int number = Map(error);
    if (static_cast<std::size_t>(number) < lastMapped.size()) {
        lastMapped[static_cast<std::size_t>(number)] = error;
    }
    return number;
}

void ForgetErrors() {
    lastMapped.fill(0);
}

} // namespace win

using win::Narrow;

std::string ErrorText(int error) {
    const unsigned long code = error > 0 && static_cast<std::size_t>(error) < win::lastMapped.size()
                                   ? win::lastMapped[static_cast<std::size_t>(error)]
                                   : 0;
    if (code != 0) {
        wchar_t* text = nullptr;
        const DWORD length =
            FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                               FORMAT_MESSAGE_IGNORE_INSERTS,
                           nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
        std::wstring words(text != nullptr ? text : L"", length);
        LocalFree(text);
        while (!words.empty() && std::wcschr(L"\r\n. ", words.back()) != nullptr) {
            words.pop_back();
        }
        if (!words.empty()) {
            return Narrow(words);
        }
    }
    // The C run-time knows no words for the numbers POSIX added later.
    switch (error) {
    case ELOOP:
        return "The path leads through a link or junction";
    case ECANCELED:
        return "Operation canceled";
    case EWOULDBLOCK:
        return "Another holder keeps the lock";
    default:
        return std::strerror(error);
    }
}

} // namespace platform
