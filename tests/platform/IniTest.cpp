// The INI stand-in on real files: what it reads, and that a write changes only its lines.
#include "platform/Ini.h"

#include "Fixtures.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace {

using platform::GetProfileString;
using platform::WriteProfileString;
using testsupport::ReadText;
using testsupport::TempDir;
using testsupport::WriteText;

// A file as a person edits it: comments of both kinds, a line without "=", mixed case,
// odd spacing, a neighbouring section with a same-named key, LF and CR LF mixed, and a
// last line without a line end.
const std::string kHandWritten = "; Dittoly UA settings\n# edited by hand\r\n\r\n"
                                 "[Other]\nleft=5\n"
                                 "  [ ua ]  \r\n  runonce = 0  \r\nSettings\t=\t1\n;Top=1\n"
                                 "not a key line\r\nDateRun=2020-01-01\r\napps=-1;0\n\n"
                                 "[Tail]\r\nx = a=b";

// The eight keys the settings routine saves, in its order ("DateRun" is removed).
void SaveSettings(const std::string& file) {
    const std::pair<const char*, const char*> saved[] = {
        {"RunOnce", "1"}, {"DateRun", nullptr}, {"Settings", "2"},  {"Apps", "-1;0;-1"},
        {"Left", "1200"}, {"Top", "600"},       {"Height", "7000"}, {"Width", "9000"}};
    for (const auto& [key, value] : saved) {
        const auto text = value ? std::optional<std::string>(value) : std::nullopt;
        EXPECT_NE(WriteProfileString("UA", key, text, file), 0) << key;
    }
}

// A hand-edited settings file must come back byte for byte but the saved keys.
TEST(IniWrite, SaveChangesOnlyTheTouchedLines) {
    TempDir dir;
    const std::string file = (dir.path() / "ua.ini").string();
    WriteText(file, kHandWritten);
    EXPECT_EQ(GetProfileString("tail", "X", "d", file, 255), "a=b");
    EXPECT_EQ(GetProfileString("UA", "Top", "d", file, 255), "d"); // commented out
    // Like a caller's buffer: room for one character less than its size.
    EXPECT_EQ(GetProfileString("UA", "Apps", "", file, 3), "-1");
    EXPECT_EQ(GetProfileString("UA", "Apps", "", file, 0), "");
    EXPECT_EQ(GetProfileString("UA", "Nope", "fallback", file, 4), "fal");
    SaveSettings(file);
    EXPECT_EQ(ReadText(file),
              "; Dittoly UA settings\n# edited by hand\r\n\r\n"
              "[Other]\nleft=5\n"
              "  [ ua ]  \r\nrunonce=1\r\nSettings=2\n;Top=1\nnot a key line\r\n"
              "apps=-1;0;-1\nLeft=1200\r\nTop=600\r\nHeight=7000\r\nWidth=9000\r\n\n"
              "[Tail]\r\nx = a=b");
}

TEST(IniWrite, AnAbsentFileIsCreatedOnlyToHoldAValue) {
    TempDir dir;
    const std::string file = (dir.path() / "ua.ini").string();
    EXPECT_NE(WriteProfileString("UA", "k", std::nullopt, file), 0);
    EXPECT_FALSE(std::filesystem::exists(file));
    EXPECT_NE(WriteProfileString("UA", "k", "v", file), 0);
    EXPECT_EQ(ReadText(file), "[UA]\r\nk=v\r\n");
}

// Each row: a file, one call on the key, and what the Windows profile-string functions
// document for it: the value read (default "<d>"), or the whole file after writing "1" or
// removing the key.
enum class Call { Read, Write, Remove };
struct AsWindows {
    const char* file;
    Call call;
    const char* key;
    const char* expected;
};
constexpr char kTwoUa[] = "[UA]\r\nk=1\r\nK = 2\r\n[Other]\r\n[ua]\r\nk=3\r\nj=4\r\n";
constexpr char kNoValue[] = "[UA]\r\nLeft\r\nTop=0\r\n";
const AsWindows kAsWindows[] = {
    // The header is the text between "[" and the first "]".
    {"[UA] ; note\r\nLeft=3000\r\n", Call::Read, "Left", "3000"},
    {"[UA] ; note\r\nLeft=3000\r\n", Call::Write, "Top", "[UA] ; note\r\nLeft=3000\r\nTop=1\r\n"},
    // Lines before the first header belong to no section.
    {"Left=9\r\n[UA]\r\nTop=1\r\n", Call::Read, "Left", "<d>"},
    // One pair of matching quotes around the value goes; anything else stays.
    {"[UA]\r\nLeft=\"3000\"\r\n", Call::Read, "Left", "3000"},
    {"[UA]\r\nLeft=' 30 '\r\n", Call::Read, "Left", " 30 "},
    {"[UA]\r\nLeft=\"3000'\r\n", Call::Read, "Left", "\"3000'"},
    {"[UA]\r\nLeft=\"\r\n", Call::Read, "Left", "\""},
    // Only the first section of a name counts, and in it the first line of a key.
    {kTwoUa, Call::Read, "K", "1"},
    {kTwoUa, Call::Read, "j", "<d>"},
    {kTwoUa, Call::Write, "j", "[UA]\r\nk=1\r\nK = 2\r\nj=1\r\n[Other]\r\n[ua]\r\nk=3\r\nj=4\r\n"},
    {kTwoUa, Call::Remove, "k", "[UA]\r\n[Other]\r\n[ua]\r\nk=3\r\nj=4\r\n"},
    {"[Other]\nk=3\n", Call::Remove, "k", "[Other]\nk=3\n"},
    // A name without "=" is a key without a value.
    {kNoValue, Call::Read, "Left", "<d>"},
    {kNoValue, Call::Write, "left", "[UA]\r\nLeft=1\r\nTop=0\r\n"},
    {kNoValue, Call::Remove, "Left", "[UA]\r\nTop=0\r\n"},
    // Every white-space character around names and values is trimmed.
    {"\f[ UA\v]\r\n\v Left \f=\t 3000 \r\r\n", Call::Read, "Left", "3000"},
    // A last line without a line end gets one before anything is added after it.
    {"a=1", Call::Write, "K", "a=1\r\n[UA]\r\nK=1\r\n"},
    {"[UA]\nx=y", Call::Write, "K", "[UA]\nx=y\r\nK=1\r\n"},
};

TEST(IniAsWindows, ReadsAndWritesWhatTheProfileStringFunctionsDo) {
    TempDir dir;
    const std::string file = (dir.path() / "ua.ini").string();
    for (const AsWindows& row : kAsWindows) {
        WriteText(file, row.file);
        if (row.call == Call::Read) {
            EXPECT_EQ(GetProfileString("UA", row.key, "<d>", file, 255), row.expected) << row.file;
            continue;
        }
        const auto value = row.call == Call::Write ? std::optional<std::string>("1") : std::nullopt;
        EXPECT_NE(WriteProfileString("UA", row.key, value, file), 0);
        EXPECT_EQ(ReadText(file), row.expected) << row.file;
    }
}

TEST(IniWrite, FailsWithoutChangingAnything) {
    TempDir dir;
    const auto missingFolder = dir.path() / "no" / "ua.ini";
    EXPECT_EQ(WriteProfileString("UA", "RunOnce", "1", missingFolder.string()), 0);
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "no"));

    // A folder in the file's place is never replaced.
    std::filesystem::create_directory(dir.path() / "folder.ini");
    EXPECT_EQ(WriteProfileString("UA", "K", "v", (dir.path() / "folder.ini").string()), 0);
    EXPECT_TRUE(std::filesystem::is_directory(dir.path() / "folder.ini"));

    // Names and values that could not be read back as written are refused.
    const std::string file = (dir.path() / "ua.ini").string();
    WriteText(file, kHandWritten);
    for (const auto& [key, value] : {std::pair{"Apps", "1\r\nTop=0"}, std::pair{"", "1"},
                                     std::pair{"a=b", "1"}, std::pair{";Top", "1"}}) {
        EXPECT_EQ(WriteProfileString("UA", key, value, file), 0) << key;
    }
    EXPECT_EQ(ReadText(file), kHandWritten);
}

} // namespace
