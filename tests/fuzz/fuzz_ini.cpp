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
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

using fuzzsupport::ReadText;
using fuzzsupport::SameIgnoringCase;
using fuzzsupport::Trim;

constexpr const char* kCloseKeys[] = {"RunOnce", "DateRun", "Settings", "Apps",
                                      "Left",    "Top",     "Height",   "Width"};

struct RawLine {
    std::string text;
    std::string end; // "\r\n", "\n", or "" for a last line without one
    bool operator==(const RawLine&) const = default;
};

std::vector<RawLine> SplitRaw(std::string_view content) {
    std::vector<RawLine> lines;
    while (!content.empty()) {
        const std::size_t lf = std::min(content.find('\n'), content.size());
        const std::size_t textEnd =
            lf < content.size() && lf > 0 && content[lf - 1] == '\r' ? lf - 1 : lf;
        const std::size_t next = std::min(lf + 1, content.size());
        lines.push_back({std::string(content.substr(0, textEnd)),
                         std::string(content.substr(textEnd, next - textEnd))});
        content.remove_prefix(next);
    }
    return lines;
}

// What a read gives for a value written as `value`: trimmed, then one pair of matching
// quotes dropped.
std::string ReadBack(std::string_view value) {
    value = Trim(value);
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
        value = value.substr(1, value.size() - 2);
    }
    return std::string(value);
}

std::optional<std::string_view> HeaderName(std::string_view text) {
    const std::string_view t = Trim(text);
    const std::size_t close = t.find(']');
    return t.starts_with('[') && close != t.npos ? std::optional(Trim(t.substr(1, close - 1)))
                                                 : std::nullopt;
}

// The key of a non-header line (all of it when it has no "="), or nullopt for blank lines
// and comments.
std::optional<std::string_view> LineKey(std::string_view text) {
    const std::string_view t = Trim(text);
    return t.empty() || t.front() == ';' || t.front() == '#'
               ? std::nullopt
               : std::optional(Trim(t.substr(0, t.find('='))));
}

// The lines that are not `key` lines of the first "UA" section, how many are, the value the
// first of them holds (none for a line without "="), and whether there is such a section.
struct Model {
    std::vector<RawLine> kept;
    std::size_t keyLines = 0;
    std::optional<std::string> value;
    bool hasSection = false;
    bool lastIsKey = false;
};

Model Analyse(const std::vector<RawLine>& lines, std::string_view key) {
    Model model;
    bool inSection = false;
    for (const RawLine& line : lines) {
        const auto name = HeaderName(line.text);
        if (name) {
            inSection = !model.hasSection && SameIgnoringCase(*name, "UA");
            model.hasSection = model.hasSection || inSection;
        }
        const auto lineKey = name ? std::nullopt : LineKey(line.text);
        model.lastIsKey = inSection && lineKey && SameIgnoringCase(*lineKey, key);
        if (!model.lastIsKey) {
            model.kept.push_back(line);
        } else if (model.keyLines++ == 0 && line.text.find('=') != std::string::npos) {
            model.value = ReadBack(line.text.substr(line.text.find('=') + 1));
        }
    }
    return model;
}

std::string Read(const std::string& file, const std::string& key, std::size_t buffer = SIZE_MAX) {
    return platform::GetProfileString("UA", key, "<none>", file, buffer);
}

// One write or removal, checked against the file as it was just before.
void Step(const std::string& file, const std::string& key,
          const std::optional<std::string>& value) {
    const std::vector<RawLine> oldLines = SplitRaw(ReadText(file));
    const Model oldModel = Analyse(oldLines, key);
    FUZZ_CHECK(platform::WriteProfileString("UA", key, value, file) != 0,
               "a usable key and value were refused");

    const Model newModel = Analyse(SplitRaw(ReadText(file)), key);
    FUZZ_CHECK(newModel.value == (value ? std::optional(ReadBack(*value)) : std::nullopt) &&
                   Read(file, key) == newModel.value.value_or("<none>"),
               "the key does not read as written, or removed");
    FUZZ_CHECK(newModel.keyLines == (value ? std::max<std::size_t>(oldModel.keyLines, 1) : 0),
               "a step added or dropped key lines it should not have");

    const std::vector<RawLine>& oldKept = oldModel.kept;
    std::vector<RawLine> newKept = newModel.kept;
    if (value && !oldModel.hasSection) {
        FUZZ_CHECK(!newKept.empty() && newKept.back() == (RawLine{"[UA]", "\r\n"}),
                   "a missing section was not added at the end");
        newKept.pop_back();
    }
    FUZZ_CHECK(newKept.size() == oldKept.size(), "untouched lines were added or dropped");
    const bool oldEndsOpen = !oldLines.empty() && oldLines.back().end.empty();
    for (std::size_t i = 0; i < oldKept.size(); ++i) {
        FUZZ_CHECK(newKept[i].text == oldKept[i].text, "an untouched line changed");
        // Only the file's last line may gain a line end, when something goes after it.
        const bool lastOfFile = oldEndsOpen && !oldModel.lastIsKey && i + 1 == oldKept.size();
        FUZZ_CHECK(newKept[i].end == oldKept[i].end || (lastOfFile && newKept[i].end == "\r\n"),
                   "an untouched line's line end changed");
    }
}

void Check(const std::string& content) {
    static const std::string file = fuzzsupport::ScratchFile("dittoly.ini");

    const std::vector<RawLine> lines = SplitRaw(content);
    std::vector<std::string> keys{kCloseKeys[content.size() % std::size(kCloseKeys)]};
    for (const RawLine& line : lines) {
        // The first key line of the file, when a written line would read back as that key.
        const auto key = HeaderName(line.text) ? std::nullopt : LineKey(line.text);
        if (key && !key->empty() && key->find_first_of("\r\n=") == std::string_view::npos &&
            key->front() != '[') {
            keys.emplace_back(*key);
            break;
        }
    }
    // A value from the input, so values with odd bytes get written too: the last line
    // without CR and blanks around it.
    std::string value = lines.empty() ? "" : lines.back().text;
    std::erase(value, '\r');
    value = Trim(value).empty() ? "1" : std::string(Trim(value));

    for (const std::string& key : keys) {
        fuzzsupport::WriteText(file, content);
        const Model model = Analyse(lines, key);
        FUZZ_CHECK(Read(file, key) == model.value.value_or("<none>"),
                   "read differs from the first key line");
        FUZZ_CHECK(Read(file, key, 0).empty() &&
                       Read(file, key, 255) == Read(file, key).substr(0, 254),
                   "a buffered read is not the start of the whole value");
        Step(file, key, value);
        Step(file, key, std::nullopt);
        Step(file, key, std::nullopt); // removing what is not there changes nothing
        // A leading "=" belongs to the value: only the first "=" splits the line.
        Step(file, key, "=" + value + " ;x");
    }
}

} // namespace

FUZZ_TARGET(Check)
