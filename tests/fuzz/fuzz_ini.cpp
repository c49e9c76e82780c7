// The settings file's line editor on arbitrary file content. The input is the whole file;
// keys are the ones the program writes on close plus one taken from the file itself, so
// existing, duplicated and oddly spelled keys all come up. For each key: a write, a removal
// and a second write, each checked against a small model of the file that is written here
// from the file format alone, not from the editor's code:
//   - only the first "UA" section counts (a header is "[" and the name up to the first
//     "]"); reads find the first key line in it, a line without "=" being a key without a
//     value that reads as the default; the value is trimmed of all white space and one
//     pair of matching quotes, and cut to the buffer;
//   - after a write the key reads back as written, after a removal it reads the default;
//   - every line that is not one of the key's lines in the first "UA" section survives
//     byte for byte and in order (comments, blank lines, stray text, other sections); the
//     only changes allowed are a line end after a last line that had none and a new "[UA]"
//     header at the end when the file had no such section.

#include "FuzzSupport.h"
#include "platform/Ini.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

using fuzzsupport::ReadRaw;
using fuzzsupport::WriteRaw;

constexpr char kSection[] = "UA";
constexpr std::size_t kWhole = std::numeric_limits<std::size_t>::max();
constexpr const char* kCloseKeys[] = {"RunOnce", "DateRun", "Settings", "Apps",
                                      "Left",    "Top",     "Height",   "Width"};

struct RawLine {
    std::string text;
    std::string end; // "\r\n", "\n", or "" for a last line without one
    bool operator==(const RawLine&) const = default;
};

std::vector<RawLine> SplitRaw(std::string_view content) {
    std::vector<RawLine> lines;
    std::size_t start = 0;
    while (start < content.size()) {
        const std::size_t lf = content.find('\n', start);
        if (lf == std::string_view::npos) {
            lines.push_back({std::string(content.substr(start)), ""});
            break;
        }
        const std::size_t textEnd = (lf > start && content[lf - 1] == '\r') ? lf - 1 : lf;
        lines.push_back({std::string(content.substr(start, textEnd - start)),
                         std::string(content.substr(textEnd, lf + 1 - textEnd))});
        start = lf + 1;
    }
    return lines;
}

constexpr std::string_view kWhiteSpace = " \t\v\f\r\n";

std::string_view TrimBlanks(std::string_view s) {
    const std::size_t first = s.find_first_not_of(kWhiteSpace);
    if (first == std::string_view::npos) {
        return {};
    }
    return s.substr(first, s.find_last_not_of(kWhiteSpace) - first + 1);
}

// What a read gives for a value written as `value`: trimmed, then one pair of matching
// quotes dropped.
std::string ReadBack(std::string_view value) {
    value = TrimBlanks(value);
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
        value = value.substr(1, value.size() - 2);
    }
    return std::string(value);
}

bool SameIgnoringAsciiCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i];
        char y = b[i];
        if (x >= 'a' && x <= 'z') {
            x = static_cast<char>(x - 32);
        }
        if (y >= 'a' && y <= 'z') {
            y = static_cast<char>(y - 32);
        }
        if (x != y) {
            return false;
        }
    }
    return true;
}

std::optional<std::string_view> HeaderName(std::string_view text) {
    const std::string_view t = TrimBlanks(text);
    if (!t.empty() && t.front() == '[' && t.find(']') != std::string_view::npos) {
        return TrimBlanks(t.substr(1, t.find(']') - 1));
    }
    return std::nullopt;
}

// The key of a non-header line (all of it when it has no "="), or nullopt for blank lines
// and comments.
std::optional<std::string_view> LineKey(std::string_view text) {
    const std::string_view t = TrimBlanks(text);
    if (t.empty() || t.front() == ';' || t.front() == '#') {
        return std::nullopt;
    }
    return TrimBlanks(t.substr(0, t.find('=')));
}

// A key the editor must accept: one a written line gives back when read.
bool UsableKey(std::string_view key) {
    return !key.empty() && TrimBlanks(key) == key &&
           key.find_first_of("\r\n=") == std::string_view::npos && key.front() != ';' &&
           key.front() != '#' && key.front() != '[';
}

// Which lines are `key` lines of the first "UA" section, whether there is such a section
// at all, and the value the first of them holds (none for a line without "=").
struct Model {
    std::vector<bool> keyLine;
    std::size_t keyLines = 0;
    bool hasSection = false;
    std::optional<std::string> value;
};

Model Analyse(const std::vector<RawLine>& lines, std::string_view key) {
    Model model;
    model.keyLine.assign(lines.size(), false);
    bool inSection = false;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (const auto name = HeaderName(lines[i].text)) {
            if (inSection) {
                break;
            }
            inSection = SameIgnoringAsciiCase(*name, kSection);
            model.hasSection = inSection;
            continue;
        }
        const auto lineKey = LineKey(lines[i].text);
        if (inSection && lineKey && SameIgnoringAsciiCase(*lineKey, key)) {
            model.keyLine[i] = true;
            const std::string_view text = lines[i].text;
            if (model.keyLines++ == 0 && text.find('=') != std::string_view::npos) {
                model.value = ReadBack(text.substr(text.find('=') + 1));
            }
        }
    }
    return model;
}

std::vector<RawLine> WithoutKeyLines(const std::vector<RawLine>& lines, const Model& model) {
    std::vector<RawLine> kept;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (!model.keyLine[i]) {
            kept.push_back(lines[i]);
        }
    }
    return kept;
}

void CheckReads(const std::string& file, const std::string& key) {
    const Model model = Analyse(SplitRaw(ReadRaw(file)), key);
    const std::string whole = platform::GetProfileString(kSection, key, "<none>", file, kWhole);
    FUZZ_CHECK(whole == model.value.value_or("<none>"), "read differs from the first key line");
    for (const std::size_t buffer : {std::size_t{0}, std::size_t{255}}) {
        const std::string cut = platform::GetProfileString(kSection, key, "<none>", file, buffer);
        FUZZ_CHECK(cut == whole.substr(0, buffer == 0 ? 0 : buffer - 1),
                   "a buffered read is not the start of the whole value");
    }
}

// One write or removal, checked against the file as it was just before.
void Step(const std::string& file, const std::string& key,
          const std::optional<std::string>& value) {
    const std::string before = ReadRaw(file);
    const std::vector<RawLine> oldLines = SplitRaw(before);
    const Model oldModel = Analyse(oldLines, key);

    const int result = platform::WriteProfileString(kSection, key, value, file);
    FUZZ_CHECK(result != 0, "a usable key and value were refused");

    const std::vector<RawLine> newLines = SplitRaw(ReadRaw(file));
    const Model newModel = Analyse(newLines, key);
    if (value) {
        FUZZ_CHECK(newModel.value == ReadBack(*value), "the written value does not read back");
        FUZZ_CHECK(newModel.keyLines == std::max<std::size_t>(oldModel.keyLines, 1),
                   "a write added or dropped key lines it should not have");
    } else {
        FUZZ_CHECK(newModel.keyLines == 0, "a removed key is still in the section");
    }
    FUZZ_CHECK(platform::GetProfileString(kSection, key, "<none>", file, kWhole) ==
                   (value ? ReadBack(*value) : "<none>"),
               "read after the step gives neither the value nor the default");

    const std::vector<RawLine> oldKept = WithoutKeyLines(oldLines, oldModel);
    std::vector<RawLine> newKept = WithoutKeyLines(newLines, newModel);
    if (value && !oldModel.hasSection) {
        FUZZ_CHECK(!newKept.empty() && newKept.back() == (RawLine{"[UA]", "\r\n"}),
                   "a missing section was not added at the end");
        newKept.pop_back();
    }
    FUZZ_CHECK(newKept.size() == oldKept.size(), "untouched lines were added or dropped");
    const bool oldEndsOpen = !oldLines.empty() && oldLines.back().end.empty();
    for (std::size_t i = 0; i < oldKept.size(); ++i) {
        FUZZ_CHECK(newKept[i].text == oldKept[i].text, "an untouched line changed");
        if (newKept[i].end != oldKept[i].end) {
            // Only the file's last line may gain a line end, when something goes after it.
            const bool lastOfFile =
                oldEndsOpen && !oldModel.keyLine.back() && i + 1 == oldKept.size();
            FUZZ_CHECK(lastOfFile && oldKept[i].end.empty() && newKept[i].end == "\r\n",
                       "an untouched line's line end changed");
        }
    }
}

// A value derived from the input, so values with odd bytes get written too: the last line
// of the file without line-break bytes and blanks around it.
std::string ValueFromInput(const std::vector<RawLine>& lines) {
    std::string value;
    if (!lines.empty()) {
        for (const char c : lines.back().text) {
            if (c != '\r' && c != '\n') {
                value += c;
            }
        }
    }
    value = std::string(TrimBlanks(value));
    return value.empty() ? "1" : value;
}

void Cycle(const std::string& file, const std::string& key, const std::string& value) {
    Step(file, key, value);
    Step(file, key, std::nullopt);
    Step(file, key, std::nullopt); // removing what is not there changes nothing
    // A leading "=" belongs to the value: only the first "=" splits the line.
    Step(file, key, "=" + value + " ;x");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const fuzzsupport::ScratchFolder scratch("ini");
    static const std::string file = scratch.File("dittoly.ini");

    const std::string content(reinterpret_cast<const char*>(data), size);
    try {
        const std::vector<RawLine> lines = SplitRaw(content);
        std::vector<std::string> keys{kCloseKeys[size % std::size(kCloseKeys)]};
        for (const RawLine& line : lines) {
            if (HeaderName(line.text)) {
                continue;
            }
            if (const auto key = LineKey(line.text); key && UsableKey(*key)) {
                keys.emplace_back(*key);
                break;
            }
        }
        const std::string value = ValueFromInput(lines);

        for (const std::string& key : keys) {
            WriteRaw(file, content);
            CheckReads(file, key);
            Cycle(file, key, value);
        }
    } catch (...) {
        FUZZ_CHECK(false, "the editor threw");
    }
    return 0;
}
