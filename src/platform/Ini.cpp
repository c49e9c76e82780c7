#include "platform/Ini.h"

#include "platform/Platform.h"

#include <cstddef>
#include <string_view>
#include <vector>

// The file is held as a list of lines, each with its own line end exactly as read. A write
// changes, inserts or drops single lines and joins the list again, so every line it does
// not touch goes back byte for byte.
//
// Same-named sections are treated as one: a key is looked up through them in file order
// and the first match wins, for reads and for in-place writes alike. A removal drops every
// match, so that a read afterwards really gives the default instead of an older duplicate.

namespace platform {
namespace {

constexpr std::string_view kNewLineEnd = "\r\n";

struct Line {
    std::string_view text; // without its line end
    std::string_view end;  // "\r\n", "\n", or "" for a last line without one
};

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view Trim(std::string_view s) {
    return TrimBlanks(s);
}

char LowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// ASCII only on purpose: the names we use are ASCII, and folding other bytes by a locale
// would make the same file read differently on different machines.
bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (LowerAscii(a[i]) != LowerAscii(b[i])) {
            return false;
        }
    }
    return true;
}

std::vector<Line> SplitLines(std::string_view content) {
    std::vector<Line> lines;
    while (!content.empty()) {
        const std::size_t lf = content.find('\n');
        if (lf == std::string_view::npos) {
            lines.push_back({content, {}});
            break;
        }
        const bool crlf = lf > 0 && content[lf - 1] == '\r';
        const std::size_t textEnd = crlf ? lf - 1 : lf;
        lines.push_back({content.substr(0, textEnd), content.substr(textEnd, lf + 1 - textEnd)});
        content.remove_prefix(lf + 1);
    }
    return lines;
}

bool IsComment(std::string_view trimmed) {
    return !trimmed.empty() && (trimmed.front() == ';' || trimmed.front() == '#');
}

// The section name when the line is a header "[name]" (blanks allowed around it and
// inside the brackets).
std::optional<std::string_view> SectionName(std::string_view text) {
    const std::string_view t = Trim(text);
    if (t.size() < 2 || t.front() != '[' || t.back() != ']') {
        return std::nullopt;
    }
    return Trim(t.substr(1, t.size() - 2));
}

// The trimmed key of a "key=value" line; nullopt for headers, comments and lines without
// "=". Only called for lines that are not headers.
std::optional<std::string_view> KeyName(std::string_view text) {
    const std::string_view t = Trim(text);
    if (IsComment(t)) {
        return std::nullopt;
    }
    const std::size_t eq = t.find('=');
    if (eq == std::string_view::npos) {
        return std::nullopt;
    }
    return Trim(t.substr(0, eq));
}

std::string_view ValueOf(std::string_view text) {
    return Trim(text.substr(text.find('=') + 1));
}

bool HasLineBreak(std::string_view s) {
    return s.find_first_of("\r\n") != std::string_view::npos;
}

// Names a write could not put into the file so that a read finds them again. Refusing
// them keeps a bad call from turning into a stray comment, header or broken line.
bool UsableNames(std::string_view section, std::string_view key) {
    if (section.empty() || key.empty() || Trim(section) != section || Trim(key) != key) {
        return false;
    }
    if (HasLineBreak(section) || HasLineBreak(key) || key.find('=') != std::string_view::npos) {
        return false;
    }
    return !IsComment(key) && key.front() != '[';
}

// Where the named section and key sit in the file.
struct Layout {
    std::optional<std::size_t> firstHeader; // header line of the first matching section
    std::optional<std::size_t> lastOfFirst; // last non-blank line of that section
    std::vector<std::size_t> keyLines;      // every matching key line, in file order
};

Layout Locate(const std::vector<Line>& lines, std::string_view section, std::string_view key) {
    Layout layout;
    bool inSection = false;
    bool inFirst = false;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (const auto name = SectionName(lines[i].text)) {
            inSection = EqualsIgnoringCase(*name, section);
            inFirst = inSection && !layout.firstHeader;
            if (inFirst) {
                layout.firstHeader = i;
                layout.lastOfFirst = i;
            }
            continue;
        }
        if (!inSection) {
            continue;
        }
        if (inFirst && !Trim(lines[i].text).empty()) {
            layout.lastOfFirst = i;
        }
        if (const auto name = KeyName(lines[i].text); name && EqualsIgnoringCase(*name, key)) {
            layout.keyLines.push_back(i);
        }
    }
    return layout;
}

std::string Join(const std::vector<Line>& lines) {
    std::string out;
    for (const Line& line : lines) {
        out.append(line.text).append(line.end);
    }
    return out;
}

} // namespace

std::string_view TrimBlanks(std::string_view text) {
    while (!text.empty() && IsBlank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && IsBlank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

std::string GetProfileString(const std::string& section, const std::string& key,
                             const std::string& fallback, const std::string& file,
                             std::size_t bufferSize) {
    std::string result = fallback;
    if (const auto bytes = ReadWholeFile(file); bytes && UsableNames(section, key)) {
        const std::string content = FromFileText(*bytes);
        const std::vector<Line> lines = SplitLines(content);
        const Layout layout = Locate(lines, section, key);
        if (!layout.keyLines.empty()) {
            result = std::string(ValueOf(lines[layout.keyLines.front()].text));
        }
    }
    // A caller's buffer keeps one character for the terminator, so it holds one less.
    const std::size_t room = bufferSize == 0 ? 0 : bufferSize - 1;
    if (result.size() > room) {
        result.resize(room);
    }
    return result;
}

int WriteProfileString(const std::string& section, const std::string& key,
                       const std::optional<std::string>& value, const std::string& file) {
    if (file.empty() || !UsableNames(section, key) || (value && HasLineBreak(*value))) {
        return 0;
    }

    const std::optional<std::string> bytes = ReadWholeFile(file);
    const std::optional<std::string> content =
        bytes ? std::optional<std::string>(FromFileText(*bytes)) : std::nullopt;
    if (!content) {
        // Only a file that is really absent may be started afresh; one that exists but
        // cannot be read (a folder, no permission) must not be overwritten blindly.
        if (!IsMissing(file)) {
            return 0;
        }
        if (!value) {
            return 1; // nothing to remove, and nothing to create for it
        }
    }

    const std::string original = content.value_or(std::string());
    std::vector<Line> lines = SplitLines(original);
    const Layout layout = Locate(lines, section, key);

    // Lines this write makes itself; they must outlive `lines`, which only views them.
    const std::string newKeyLine = value ? key + "=" + *value : std::string();
    const std::string newHeader = "[" + section + "]";
    std::string replaced;

    // Inserting after line `at` needs that line to end first, in case it was the file's
    // last line without a line end.
    const auto insertAfter = [&lines](std::size_t at, std::string_view text) {
        if (lines[at].end.empty()) {
            lines[at].end = kNewLineEnd;
        }
        lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(at) + 1, Line{text, kNewLineEnd});
    };

    if (!value) {
        // Back to front, so earlier indices stay valid.
        for (auto it = layout.keyLines.rbegin(); it != layout.keyLines.rend(); ++it) {
            lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(*it));
        }
    } else if (!layout.keyLines.empty()) {
        // The key keeps the spelling the file already has: someone may have written it by
        // hand that way, and a value change should show up as a value change only.
        Line& line = lines[layout.keyLines.front()];
        replaced = std::string(*KeyName(line.text)) + "=" + *value;
        line.text = replaced;
    } else if (layout.firstHeader) {
        // After the section's last non-blank line, so blank lines that separate it from
        // the next section stay in front of that section.
        insertAfter(*layout.lastOfFirst, newKeyLine);
    } else {
        if (!lines.empty() && lines.back().end.empty()) {
            lines.back().end = kNewLineEnd;
        }
        lines.push_back({newHeader, kNewLineEnd});
        lines.push_back({newKeyLine, kNewLineEnd});
    }

    const std::string updated = Join(lines);
    if (content && updated == original) {
        return 1; // same bytes: leave the file and its time stamp alone
    }
    return ReplaceFile(file, ToFileText(updated)) ? 1 : 0;
}

} // namespace platform
