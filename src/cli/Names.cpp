#include "cli/Names.h"

#include "operations/StatusText.h"

#include <QCoreApplication>

#ifdef _WIN32
#include "platform/WinText.h"
#endif

namespace cli {

namespace {

int HexValue(char digit) {
    for (int value = 0; value < 16; ++value) {
        if (operations::kHexDigits[value] == digit) {
            return value;
        }
    }
    return -1;
}

#ifdef _WIN32
// UTF-16 as WTF-8, as the platform layer writes names: an unpaired surrogate keeps its
// own three bytes.
std::string Wtf8(const QString& text) {
    return platform::win::Narrow(std::wstring_view(reinterpret_cast<const wchar_t*>(text.utf16()),
                                                   static_cast<std::size_t>(text.size())));
}
#endif

} // namespace

bool IsUtf8(std::string_view bytes) {
    for (std::size_t i = 0; i < bytes.size();) {
        const std::size_t length = operations::Utf8CharacterLength(bytes, i);
        if (length == 0) {
            return false;
        }
        i += length;
    }
    return true;
}

std::string EscapeName(std::string_view bytes) {
    return operations::EscapeBytes(bytes, [](unsigned char byte) { return byte == '/'; });
}

std::optional<std::string> UnescapeName(std::string_view text) {
    std::string name;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '/') {
            name += text[i];
            continue;
        }
        const int high = i + 3 < text.size() && text[i + 1] == 'x' ? HexValue(text[i + 2]) : -1;
        const int low = high < 0 ? -1 : HexValue(text[i + 3]);
        if (low < 0) {
            return std::nullopt;
        }
        name += static_cast<char>(high * 16 + low);
        i += 3;
    }
    // Only the one form of each name: "/x41" for "A" would be a second.
    if (EscapeName(name) != text) {
        return std::nullopt;
    }
    return name;
}

QString NameText(std::string_view bytes) {
    const std::string escaped = EscapeName(bytes);
    return QString::fromUtf8(escaped.data(), static_cast<qsizetype>(escaped.size()));
}

QStringList Arguments(int argc, char** argv) {
    QStringList arguments;
#ifdef _WIN32
    static_cast<void>(argc);
    static_cast<void>(argv);
    for (const QString& argument : QCoreApplication::arguments()) {
        const std::string bytes = Wtf8(argument);
        arguments.append(IsUtf8(bytes) ? argument : NameText(bytes));
    }
#else
    for (int i = 0; i < argc; ++i) {
        const std::string_view bytes = argv[i];
        arguments.append(IsUtf8(bytes) ? QString::fromUtf8(bytes.data(), std::ssize(bytes))
                                       : NameText(bytes));
    }
#endif
    return arguments;
}

} // namespace cli
