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
const std::string kHandWritten = "; Dittoly UA settings\n"
                                 "# edited by hand\r\n"
                                 "\r\n"
                                 "[Other]\n"
                                 "left=5\n"
                                 "  [ ua ]  \r\n"
                                 "  runonce = 0  \r\n"
                                 "Settings\t=\t1\n"
                                 ";Top=1\n"
                                 "not a key line\r\n"
                                 "DateRun=2020-01-01\r\n"
                                 "apps=-1;0\n"
                                 "\n"
                                 "[Tail]\r\n"
                                 "x = a=b";

// The eight keys the settings routine saves, in its order.
void SaveSettings(const std::string& file) {
    EXPECT_NE(WriteProfileString("UA", "RunOnce", "1", file), 0);
    EXPECT_NE(WriteProfileString("UA", "DateRun", std::nullopt, file), 0);
    EXPECT_NE(WriteProfileString("UA", "Settings", "2", file), 0);
    EXPECT_NE(WriteProfileString("UA", "Apps", "-1;0;-1", file), 0);
    EXPECT_NE(WriteProfileString("UA", "Left", "1200", file), 0);
    EXPECT_NE(WriteProfileString("UA", "Top", "600", file), 0);
    EXPECT_NE(WriteProfileString("UA", "Height", "7000", file), 0);
    EXPECT_NE(WriteProfileString("UA", "Width", "9000", file), 0);
}

TEST(IniRead, FindsValuesIgnoringCaseAndTrimsBlanks) {
    TempDir dir;
    const std::string file = (dir.path() / "ua.ini").string();
    WriteText(file, kHandWritten);
    EXPECT_EQ(GetProfileString("UA", "RUNONCE", "d", file, 255), "0");
    EXPECT_EQ(GetProfileString("ua", "settings", "d", file, 255), "1");
    EXPECT_EQ(GetProfileString("uA", "Apps", "d", file, 255), "-1;0");
    EXPECT_EQ(GetProfileString("TAIL", "X", "d", file, 255), "a=b");
    EXPECT_EQ(GetProfileString("other", "Left", "d", file, 255), "5");
    // A key of another section, a commented-out key and a line without "=" are not keys.
    EXPECT_EQ(GetProfileString("UA", "Left", "d", file, 255), "d");
    EXPECT_EQ(GetProfileString("UA", "Top", "d", file, 255), "d");
    EXPECT_EQ(GetProfileString("UA", "not a key line", "d", file, 255), "d");
    EXPECT_EQ(GetProfileString("Missing", "RunOnce", "d", file, 255), "d");
    EXPECT_EQ(GetProfileString("UA", "RunOnce", "d", (dir.path() / "none.ini").string(), 255), "d");
}

TEST(IniRead, CutsToBufferAndIgnoresLinesBeforeFirstSection) {
    TempDir dir;
    const std::string file = (dir.path() / "ua.ini").string();
    WriteText(file, "Apps=9\n[UA]\nApps=-1;0;-1\nApps=0\n");
    EXPECT_EQ(GetProfileString("UA", "Apps", "", file, 3), "-1");
    EXPECT_EQ(GetProfileString("UA", "Apps", "", file, 0), "");
    EXPECT_EQ(GetProfileString("UA", "Nope", "fallback", file, 4), "fal");
    EXPECT_EQ(GetProfileString("UA", "Apps", "", file, 255), "-1;0;-1"); // first one wins
}

TEST(IniWrite, SaveChangesOnlyTheTouchedLines) {
    TempDir dir;
    const std::string file = (dir.path() / "ua.ini").string();
    WriteText(file, kHandWritten);
    SaveSettings(file);
    EXPECT_EQ(ReadText(file), "; Dittoly UA settings\n"
                              "# edited by hand\r\n"
                              "\r\n"
                              "[Other]\n"
                              "left=5\n"
                              "  [ ua ]  \r\n"
                              "runonce=1\r\n"
                              "Settings=2\n"
                              ";Top=1\n"
                              "not a key line\r\n"
                              "apps=-1;0;-1\n"
                              "Left=1200\r\n"
                              "Top=600\r\n"
                              "Height=7000\r\n"
                              "Width=9000\r\n"
                              "\n"
                              "[Tail]\r\n"
                              "x = a=b");
}

TEST(IniWrite, NewFileHoldsKeysInOrderOfFirstWrite) {
    TempDir dir;
    const std::string file = (dir.path() / "ua.ini").string();
    SaveSettings(file);
    SaveSettings(file); // a second save changes values in place, never the order
    const std::string expected = "[UA]\r\nRunOnce=1\r\nSettings=2\r\nApps=-1;0;-1\r\nLeft=1200\r\n"
                                 "Top=600\r\nHeight=7000\r\nWidth=9000\r\n";
    EXPECT_EQ(ReadText(file), expected);

    // A DateRun added by hand goes with the next save.
    WriteText(file, expected + "DateRun=2024-05-01\r\n");
    SaveSettings(file);
    EXPECT_EQ(ReadText(file), expected);
}

TEST(IniWrite, AppendsAfterALastLineWithoutLineEnd) {
    TempDir dir;
    const std::string file = (dir.path() / "ua.ini").string();
    WriteText(file, "a=1");
    EXPECT_NE(WriteProfileString("UA", "K", "v", file), 0);
    EXPECT_EQ(ReadText(file), "a=1\r\n[UA]\r\nK=v\r\n");

    WriteText(file, "[UA]\nx=y");
    EXPECT_NE(WriteProfileString("ua", "K", "v", file), 0);
    EXPECT_EQ(ReadText(file), "[UA]\nx=y\r\nK=v\r\n");
}

TEST(IniWrite, RemovingWhatIsNotThereCreatesNothing) {
    TempDir dir;
    const std::string file = (dir.path() / "ua.ini").string();
    WriteText(file, "[Other]\nk=3\n");
    EXPECT_NE(WriteProfileString("UA", "k", std::nullopt, file), 0);
    EXPECT_EQ(ReadText(file), "[Other]\nk=3\n");
    const auto absent = dir.path() / "absent.ini";
    EXPECT_NE(WriteProfileString("UA", "k", std::nullopt, absent.string()), 0);
    EXPECT_FALSE(std::filesystem::exists(absent));
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
    // One pair of matching quotes around the value goes; anything else stays.
    {"[UA]\r\nLeft=\"3000\"\r\n", Call::Read, "Left", "3000"},
    {"[UA]\r\nLeft=' 30 '\r\n", Call::Read, "Left", " 30 "},
    {"[UA]\r\nLeft=\"3000'\r\n", Call::Read, "Left", "\"3000'"},
    {"[UA]\r\nLeft=\"\r\n", Call::Read, "Left", "\""},
    // Only the first section of a name counts.
    {kTwoUa, Call::Read, "j", "<d>"},
    {kTwoUa, Call::Write, "j", "[UA]\r\nk=1\r\nK = 2\r\nj=1\r\n[Other]\r\n[ua]\r\nk=3\r\nj=4\r\n"},
    {kTwoUa, Call::Remove, "k", "[UA]\r\n[Other]\r\n[ua]\r\nk=3\r\nj=4\r\n"},
    // A name without "=" is a key without a value.
    {kNoValue, Call::Read, "Left", "<d>"},
    {kNoValue, Call::Write, "left", "[UA]\r\nLeft=1\r\nTop=0\r\n"},
    {kNoValue, Call::Remove, "Left", "[UA]\r\nTop=0\r\n"},
    // Every white-space character around names and values is trimmed.
    {"\f[ UA\v]\r\n\v Left \f=\t 3000 \r\r\n", Call::Read, "Left", "3000"},
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
    EXPECT_EQ(WriteProfileString("UA", "Apps", "1\r\nTop=0", file), 0);
    EXPECT_EQ(WriteProfileString("UA", "", "1", file), 0);
    EXPECT_EQ(WriteProfileString("UA", "a=b", "1", file), 0);
    EXPECT_EQ(WriteProfileString("UA", ";Top", "1", file), 0);
    EXPECT_EQ(ReadText(file), kHandWritten);
}

} // namespace
