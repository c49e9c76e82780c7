#include "platform/Ini.h"

#include "platform/Platform.h"

#include <cstddef>
#include <string_view>

// The file is edited as one piece of text: a read walks its lines once, a write copies
// the text around the one place it changes (or the lines it drops), so every line it does
// not touch goes back byte for byte and memory stays near twice the file's size.
//
// Only the first section of a name counts, for reads and writes alike; a later section of
// the same name is text like any other. Within that section the first line of a key is
// the key, and a removal drops every line of it, so that a read afterwards really gives
// the default instead of an older duplicate.

namespace platform {
namespace {

constexpr std::string_view kNewLineEnd = "\r\n";

bool IsWhiteSpace(char c) {
    return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\r' || c == '\n';
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

struct Line {
    std::size_t begin;     // offset of the line in the file
    std::string_view text; // without its line end
    std::string_view end;  // "\r\n", "\n", or "" for a last line without one
    char lead = '\0';      // the first character that is not white space

    std::size_t After() const { return begin + text.size() + end.size(); }
};

bool IsComment(std::string_view trimmed) {
    return !trimmed.empty() && (trimmed.front() == ';' || trimmed.front() == '#');
}

// The section name when the line is a header: "[" first, the name up to the first "]",
// blanks around it dropped; whatever follows the "]" is ignored.
std::optional<std::string_view> SectionName(std::string_view text) {
    const std::string_view t = Trim(text);
    const std::size_t close = t.find(']');
    if (t.empty() || t.front() != '[' || close == std::string_view::npos) {
        return std::nullopt;
    }
    return Trim(t.substr(1, close - 1));
}

// The key of a line that is not a header: the trimmed text before the first "=", or the
// whole trimmed line when it has none (a key without a value). nullopt for blank lines and
// comments.
std::optional<std::string_view> KeyName(std::string_view text) {
    const std::string_view t = Trim(text);
    if (t.empty() || IsComment(t)) {
        return std::nullopt;
    }
    return Trim(t.substr(0, t.find('=')));
}

// The value of a key line, trimmed and without one pair of matching quotes around it;
// nullopt for a key without "=", which reads like a missing key.
std::optional<std::string_view> ValueOf(std::string_view text) {
    const std::size_t eq = text.find('=');
    if (eq == std::string_view::npos) {
        return std::nullopt;
    }
    std::string_view value = Trim(text.substr(eq + 1));
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
        value = value.substr(1, value.size() - 2);
    }
    return value;
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

// Calls `visit(line, isHeader)` with the header line of the first section named `section`
// and then with each line of it that is not blank, up to the next header. False when there
// is no such section. Each character is looked at a bounded number of times, so a walk is
// linear; blank lines, which mean nothing here, are passed over character by character
// instead of with one search per line, which keeps a file of them cheap.
template <typename Visit>
bool WalkFirstSection(std::string_view content, std::string_view section, Visit visit) {
    bool inSection = false;
    std::size_t pos = 0;
    while (pos < content.size()) {
        std::size_t begin = pos;
        while (pos < content.size() && IsWhiteSpace(content[pos])) {
            if (content[pos++] == '\n') {
                begin = pos;
            }
        }
        if (pos == content.size()) {
            break;
        }
        // A plain loop: lines are short, and a library search per line costs more than
        // the few characters it passes over.
        std::size_t lf = pos;
        while (lf < content.size() && content[lf] != '\n') {
            ++lf;
        }
        Line line{begin, content.substr(begin), {}, content[pos]};
        if (lf < content.size()) {
            const std::size_t textEnd = content[lf - 1] == '\r' ? lf - 1 : lf;
            line.text = content.substr(begin, textEnd - begin);
            line.end = content.substr(textEnd, lf + 1 - textEnd);
        }
        pos = line.After();
        const auto name = line.lead == '[' ? SectionName(line.text) : std::nullopt;
        if (inSection && name) {
            break;
        }
        if (name && EqualsIgnoringCase(*name, section)) {
            inSection = true;
            visit(line, true);
        } else if (inSection) {
            visit(line, false);
        }
    }
    return inSection;
}

bool IsKeyLine(const Line& line, std::string_view key) {
    // Most lines differ from the key in their first letter already.
    if (LowerAscii(line.lead) != LowerAscii(key.front())) {
        return false;
    }
    const auto name = KeyName(line.text);
    return name && EqualsIgnoringCase(*name, key);
}

// Where the named section and key sit in the file.
struct Layout {
    bool hasSection = false;
    std::size_t insertAt = 0;    // just after the section's last non-blank line
    bool insertNeedsEnd = false; // that line is the file's last and has no line end
    std::optional<Line> key;     // the key's first line in the section
};

Layout Locate(std::string_view content, std::string_view section, std::string_view key) {
    Layout layout;
    layout.hasSection = WalkFirstSection(content, section, [&](const Line& line, bool header) {
        // The walk shows no blank lines, so this ends after the section's last other line.
        layout.insertAt = line.After();
        layout.insertNeedsEnd = line.end.empty();
        if (!header && !layout.key && IsKeyLine(line, key)) {
            layout.key = line;
        }
    });
    return layout;
}

// The file with every line of `key` in the section dropped.
std::string WithoutKey(std::string_view content, std::string_view section, std::string_view key) {
    std::string out;
    out.reserve(content.size());
    std::size_t copied = 0;
    WalkFirstSection(content, section, [&](const Line& line, bool header) {
        if (!header && IsKeyLine(line, key)) {
            out.append(content.substr(copied, line.begin - copied));
            copied = line.After();
        }
    });
    out.append(content.substr(copied));
    return out;
}

// The file with `inserted` put in at `at`.
std::string Inserting(std::string_view content, std::size_t at, std::string_view inserted) {
    std::string out;
    out.reserve(content.size() + inserted.size());
    out.append(content.substr(0, at)).append(inserted).append(content.substr(at));
    return out;
}

} // namespace

std::string_view TrimBlanks(std::string_view text) {
    while (!text.empty() && IsWhiteSpace(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && IsWhiteSpace(text.back())) {
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
        if (const Layout layout = Locate(content, section, key); layout.key) {
            if (const auto value = ValueOf(layout.key->text)) {
                result = std::string(*value);
            }
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
        // Only a file that is really absent may be started afresh; anything else in its
        // place (a folder, a pipe, a file too big or not readable) is left alone.
        if (TextFileAt(file) != TextFile::Absent) {
            return 0;
        }
        if (!value) {
            return 1; // nothing to remove, and nothing to create for it
        }
    }

    const std::string_view original = content ? std::string_view(*content) : std::string_view();
    std::string updated;
    if (!value) {
        updated = WithoutKey(original, section, key);
    } else if (const Layout layout = Locate(original, section, key); layout.key) {
        // The key keeps the spelling the file already has: someone may have written it by
        // hand that way, and a value change should show up as a value change only.
        const Line& line = *layout.key;
        updated = std::string(original.substr(0, line.begin))
                      .append(*KeyName(line.text))
                      .append("=")
                      .append(*value)
                      .append(original.substr(line.begin + line.text.size()));
    } else if (layout.hasSection) {
        // After the section's last non-blank line, so blank lines that separate it from
        // the next section stay in front of that section.
        const std::string keyLine = key + "=" + *value + std::string(kNewLineEnd);
        updated = Inserting(original, layout.insertAt,
                            layout.insertNeedsEnd ? std::string(kNewLineEnd) + keyLine : keyLine);
    } else {
        updated = original;
        if (!updated.empty() && updated.back() != '\n') {
            updated += kNewLineEnd;
        }
        updated.append("[").append(section).append("]").append(kNewLineEnd);
        updated.append(key).append("=").append(*value).append(kNewLineEnd);
    }

    if (content && updated == original) {
        return 1; // same bytes: leave the file and its time stamp alone
    }
    // Through a link: the settings file may be kept elsewhere on purpose.
    return ReplaceFile(file, ToFileText(updated), true) ? 1 : 0;
}

} // namespace platform
