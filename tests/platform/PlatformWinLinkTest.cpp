// Copies that link what did not change, and files with several names, through the real
// Win32 calls (run under Wine here, where a hard link is a Linux hard link).
#include "Fixtures.h"
#include "WinTestPaths.h"
#include "platform/Platform.h"

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <gtest/gtest.h>
#include <vector>
#include <windows.h>

namespace {

using namespace testsupport;
using platform::Below;

// Who a file is on its volume, and how many names it has.
struct Id {
    std::uint64_t index = 0;
    DWORD links = 0;
};

Id IdOf(const fs::path& p) {
    const HANDLE file = CreateFileW(W(p).c_str(), FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    BY_HANDLE_FILE_INFORMATION info{};
    EXPECT_TRUE(GetFileInformationByHandle(file, &info)) << p;
    CloseHandle(file);
    return {(std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow, info.nNumberOfLinks};
}

// Runs `change` on the file `p` and puts its last-write time back, so only the change and
// the file's ChangeTime can show it.
template <typename Change> void KeepingTime(const fs::path& p, Change change) {
    const HANDLE file =
        CreateFileW(W(p).c_str(), FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    FILETIME written{};
    ASSERT_TRUE(GetFileTime(file, nullptr, nullptr, &written));
    change();
    ASSERT_TRUE(SetFileTime(file, nullptr, nullptr, &written));
    CloseHandle(file);
}

void SetWritten(const fs::path& p, FILETIME written) {
    const HANDLE file =
        CreateFileW(W(p).c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_TRUE(SetFileTime(file, nullptr, nullptr, &written));
    CloseHandle(file);
}

bool Same(const Below& a, const Below& b,
          const std::optional<platform::FileTime>& readSince = std::nullopt) {
    bool same = false;
    EXPECT_EQ(platform::CompareTrees(a, b, same, readSince), 0);
    return same;
}

struct Count final : platform::TreeProgress {
    platform::TreeSize seen;
    bool Advance(std::uint64_t files, std::uint64_t bytes) override {
        seen = {files, bytes};
        return true;
    }
};

// Catches: an unchanged file written again instead of linked, or linked by name only (not
// the same file); a changed file linked although its bytes (at the same size), its read-only
// flag or its last-write time differ; a file rewritten after the old copy read it, its time
// put back, linked because its ChangeTime was not looked at; linked files missing from the
// counts or the progress; a `began` that is not this copy's own moment to the second; the
// removal of the old copy clearing the read-only flag it shares with the new one; and
// CompareTrees reading files that `readSince` vouches for.
TEST(WindowsLinks, UnchangedFilesAreLinkedAndChangedOnesCopied) {
    TempDir tmp;
    const fs::path src = tmp.path() / "Settings";
    const fs::path copy = tmp.path() / "Backup" / "Settings";
    const fs::path kept = tmp.path() / "History" / "1" / "Settings";
    const std::vector<std::string> unchanged = {"same.dat", "sub/deep.dat", "readonly.dat"};
    const std::vector<std::string> changed = {"bytes.dat", "flag.dat", "time.dat", "racy.dat"};
    for (const auto* names : {&unchanged, &changed}) {
        for (const std::string& name : *names) {
            WriteText(src / name, "old " + name);
        }
    }
    SetAttributes(src / "readonly.dat", FILE_ATTRIBUTE_READONLY);
    Sleep(1100); // so all of it changed before the first copy began, to the second
    const Below from{tmp.path().string(), {"Settings"}};
    const Below into{(tmp.path() / "Backup").string(), {}};
    const Below copyAt{into.root, {"Settings"}};
    fs::create_directories(tmp.path() / "Backup");
    platform::CopyStats first;
    platform::CopyOptions options;
    options.stats = &first;
    const std::time_t before = std::time(nullptr);
    ASSERT_EQ(platform::CopyTree(from, into, options), 0);
    ASSERT_TRUE(first.began);
    EXPECT_EQ(first.began->nsec, 0);
    EXPECT_GE(first.began->sec, before - 1);
    EXPECT_LE(first.began->sec, std::time(nullptr));
    EXPECT_EQ(std::pair(first.linked, first.copied), std::pair(std::uint64_t{0}, std::uint64_t{7}));

    WriteText(src / "bytes.dat", "new bytes.dat");
    SetAttributes(src / "flag.dat", FILE_ATTRIBUTE_READONLY);
    SetWritten(src / "time.dat", FILETIME{0x12345678, 0x01d00000});
    KeepingTime(src / "racy.dat", [&] { WriteText(src / "racy.dat", "new racy.dat"); });
    platform::CopyStats second;
    Count progress;
    options.keep = Below{tmp.path().string(), {"History", "1"}};
    options.progress = &progress;
    options.linkUnchanged = true;
    options.readSince = first.began;
    options.stats = &second;
    ASSERT_EQ(platform::CopyTree(from, into, options), 0);
    for (const std::string& name : unchanged) {
        EXPECT_EQ(IdOf(copy / name).index, IdOf(kept / name).index) << name;
        EXPECT_EQ(IdOf(copy / name).links, 2u) << name;
    }
    for (const std::string& name : changed) {
        EXPECT_NE(IdOf(copy / name).index, IdOf(kept / name).index) << name;
        EXPECT_EQ(IdOf(copy / name).links, 1u) << name;
    }
    EXPECT_EQ(std::pair(second.linked, second.copied),
              std::pair(std::uint64_t{3}, std::uint64_t{4}));
    platform::TreeSize size;
    ASSERT_EQ(platform::MeasureTree(from, size), 0);
    EXPECT_EQ(std::pair(progress.seen.files, progress.seen.bytes),
              std::pair(size.files, size.bytes));
    EXPECT_TRUE(Same(from, copyAt));
    EXPECT_EQ(ReadText(copy / "racy.dat"), "new racy.dat");
    EXPECT_EQ(ReadText(copy / "bytes.dat"), "new bytes.dat");

    // The old copy goes; the files the new one shares with it stay as they were.
    ASSERT_EQ(platform::RemoveTree({tmp.path().string(), {"History"}}), 0);
    EXPECT_NE(GetFileAttributesW(W(copy / "readonly.dat").c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
    EXPECT_EQ(IdOf(copy / "same.dat").links, 1u);
    EXPECT_TRUE(Same(from, copyAt));

    // A byte of the copy changed behind its back, its time put back: only reading shows it,
    // and a source unchanged since `readSince` is not read.
    KeepingTime(copy / "same.dat", [&] { WriteText(copy / "same.dat", "OLD same.dat"); });
    EXPECT_FALSE(Same(from, copyAt));
    EXPECT_TRUE(Same(from, copyAt, first.began));
}

// Catches: a second name of one file copied as a second file (a restore would give the app
// two files where it had one); a copy that shares a file with anything but the source's own
// other names (a backup's older generations); unchanged files not linked when no moment is
// known; a refused link that loses the file instead of copying it; and ListFiles giving two
// names of one file different identities.
TEST(WindowsLinks, NamesOfOneFileStayOneFileInACopy) {
    TempDir tmp;
    const fs::path src = tmp.path() / "Settings";
    const fs::path copy = tmp.path() / "Backup" / "Settings";
    WriteText(src / "a.dat", "shared");
    WriteText(src / "c.dat", "alone");
    fs::create_directories(src / "sub");
    ASSERT_TRUE(
        CreateHardLinkW(W(src / "sub" / "b.dat").c_str(), W(src / "a.dat").c_str(), nullptr));
    const Below from{tmp.path().string(), {"Settings"}};
    const Below into{(tmp.path() / "Backup").string(), {}};
    fs::create_directories(tmp.path() / "Backup");

    std::vector<platform::FileIdentity> files;
    ASSERT_EQ(
        platform::ListFiles(from, [&](const platform::FileIdentity& f) { files.push_back(f); }), 0);
    std::sort(files.begin(), files.end(),
              [](const auto& x, const auto& y) { return x.links > y.links; });
    ASSERT_EQ(files.size(), 3u);
    EXPECT_EQ(std::tuple(files[0].volume, files[0].index, files[0].links, files[0].bytes),
              std::tuple(files[1].volume, files[1].index, std::uint64_t{2}, std::uint64_t{6}));
    EXPECT_NE(files[0].index, files[2].index);
    EXPECT_EQ(std::pair(files[2].links, files[2].bytes),
              std::pair(std::uint64_t{1}, std::uint64_t{5}));

    Id previous;
    for (const auto& [linkUnchanged, refuse] : {std::pair(false, 0), {true, 0}, {true, EPERM}}) {
        platform::CopyStats stats;
        platform::CopyOptions options;
        options.linkUnchanged = linkUnchanged;
        options.refuseLinks = refuse;
        options.stats = &stats;
        ASSERT_EQ(platform::CopyTree(from, into, options), 0);
        const Id a = IdOf(copy / "a.dat");
        const Id b = IdOf(copy / "sub" / "b.dat");
        EXPECT_EQ(a.index == b.index, refuse == 0) << linkUnchanged << refuse;
        EXPECT_EQ(std::pair(a.links, b.links),
                  refuse == 0 ? std::pair(2ul, 2ul) : std::pair(1ul, 1ul));
        EXPECT_EQ(IdOf(copy / "c.dat").links, 1u);
        // Unchanged, and compared by their bytes: linked to the copy replaced, unless refused.
        EXPECT_EQ(a.index == previous.index, linkUnchanged && refuse == 0);
        EXPECT_EQ(stats.linked, linkUnchanged && refuse == 0 ? 3u : 0u);
        EXPECT_EQ(stats.linked + stats.copied, 3u);
        EXPECT_TRUE(Same(from, {into.root, {"Settings"}}));
        previous = a;
    }
}

} // namespace
