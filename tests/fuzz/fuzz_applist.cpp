// The detected-apps file as a user may have edited it: any bytes at all. Reading must
// account for every byte (each line is followed by CR LF, LF, or for the last line
// nothing or a lone CR), and whatever was read must survive a save and a second read
// exactly, so opening and closing the program never changes the list.

#include "FuzzSupport.h"
#include "settings/AppListFile.h"

#include <string>
#include <vector>

namespace {

using fuzzsupport::ReadText;
using fuzzsupport::WriteText;

// The content with every line end made one LF and the last line's end dropped: what the
// lines joined by LF must give.
std::string Joined(const std::string& content) {
    std::string text;
    for (std::size_t i = 0; i < content.size(); ++i) {
        if (!(content[i] == '\r' && i + 1 < content.size() && content[i + 1] == '\n')) {
            text += content[i];
        }
    }
    if (!text.empty() && (text.back() == '\n' || content.back() == '\r')) {
        text.pop_back();
    }
    return text;
}

void Check(const std::string& content) {
    static const std::string file = fuzzsupport::ScratchFile("uapps.dat");

    WriteText(file, content);
    const auto lines = settings::ReadAppListFile(file);
    FUZZ_CHECK(lines.has_value(), "a plain readable file was not read");
    std::string joined;
    std::string saved;
    for (const std::string& line : *lines) {
        FUZZ_CHECK(line.find('\n') == std::string::npos, "a line holds a line end");
        joined += (joined.empty() && saved.empty() ? "" : "\n") + line;
        saved += line + "\r\n";
    }
    FUZZ_CHECK(joined == Joined(content) && lines->empty() == content.empty(),
               "the lines do not account for the file");

    FUZZ_CHECK(settings::WriteAppListFile(file, *lines), "saving the list failed");
    FUZZ_CHECK(ReadText(file) == saved, "the saved file is not one line per name");
    FUZZ_CHECK(settings::ReadAppListFile(file) == lines, "the list did not survive a save");
}

} // namespace

FUZZ_TARGET(Check)
