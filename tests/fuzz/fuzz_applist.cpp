// The detected-apps file as a user may have edited it: any bytes at all. Reading must
// account for every byte (each line is followed by CR LF, LF, or for the last line
// nothing or a lone CR), and whatever was read must survive a save and a second read
// exactly, so opening and closing the program never changes the list.

#include "FuzzSupport.h"
#include "settings/AppListFile.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace {

using fuzzsupport::ReadRaw;
using fuzzsupport::WriteRaw;

// True when `lines`, each followed by its line end, spell out `data` exactly.
bool CoversEveryByte(std::string_view data, const std::vector<std::string>& lines) {
    std::size_t at = 0;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        if (line.find('\n') != std::string::npos || data.substr(at, line.size()) != line) {
            return false;
        }
        at += line.size();
        const std::string_view rest = data.substr(at);
        const bool last = i + 1 == lines.size();
        if (rest.starts_with("\r\n")) {
            at += 2;
        } else if (rest.starts_with("\n")) {
            at += 1;
        } else if (last && rest == "\r") {
            at += 1;
        } else if (!(last && rest.empty())) {
            return false;
        }
    }
    return at == data.size();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const fuzzsupport::ScratchFolder scratch("applist");
    static const std::string file = scratch.File("uapps.dat");
    static const std::string hidden = scratch.File(".uapps.dat");

    const std::string content(reinterpret_cast<const char*>(data), size);
    try {
        WriteRaw(file, content);
        const auto lines = settings::ReadAppListFile(file);
        FUZZ_CHECK(lines.has_value(), "a plain readable file was not read");
        FUZZ_CHECK(CoversEveryByte(content, *lines), "the lines do not account for the file");

        FUZZ_CHECK(settings::WriteAppListFile(file, *lines), "saving the list failed");
        std::string expected;
        for (const std::string& line : *lines) {
            expected += line + "\r\n";
        }
        FUZZ_CHECK(ReadRaw(file) == expected, "the saved file is not one line per name");
        FUZZ_CHECK(settings::ReadAppListFile(file) == lines, "the list did not survive a save");

        // A leading dot hides the file from the lookup, whatever it holds.
        WriteRaw(hidden, content);
        FUZZ_CHECK(!settings::ReadAppListFile(hidden).has_value(), "a hidden file was read");
    } catch (...) {
        FUZZ_CHECK(false, "reading or writing the list threw");
    }
    return 0;
}
