// Copies that link what did not change since the copy they replace, and names of one file
// that stay one file: on real temporary trees, where a wrong link would show as a shared
// file whose bytes or metadata are not the source's.
#include "Fixtures.h"
#include "platform/Platform.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <map>
#include <optional>
#include <sys/stat.h>
#include <sys/xattr.h>

namespace {

using namespace testsupport;

platform::Below At(const fs::path& p) {
    return {p.parent_path().string(), {p.filename().string()}};
}

struct stat StatOf(const fs::path& p) {
    struct stat st {};
    ::lstat(p.c_str(), &st);
    return st;
}

bool SameFile(const fs::path& a, const fs::path& b) {
    const struct stat x = StatOf(a);
    const struct stat y = StatOf(b);
    return x.st_dev == y.st_dev && x.st_ino == y.st_ino;
}

// Sets the modification time of `p` back to what `was` had: a rewrite that a time alone
// would not show.
void KeepTime(const fs::path& p, const struct stat& was) {
    const timespec times[2] = {was.st_atim, was.st_mtim};
    ::utimensat(AT_FDCWD, p.c_str(), times, AT_SYMLINK_NOFOLLOW);
}

bool Same(const fs::path& a, const fs::path& b,
          const std::optional<platform::FileTime>& since = std::nullopt) {
    bool same = false;
    return platform::CompareTrees(At(a), At(b), same, since) == 0 && same;
}

class TreeLink : public ::testing::Test {
protected:
    TempDir dir;
    fs::path src = dir.path() / "live" / "Settings";
    fs::path into = dir.path() / "backup";
    fs::path copy = into / "Settings";
    fs::path kept = dir.path() / "History" / "one";

    void SetUp() override {
        WriteText(src / "same.dat", "unchanged settings");
        WriteText(src / "sub" / "deep.dat", "unchanged too");
        WriteText(src / "rewritten.dat", "0123456789");
        WriteText(src / "mode.dat", "mode");
        WriteText(src / "attr.dat", "attr");
        WriteText(src / "grown.dat", "short");
        fs::create_directories(into);
    }
    // A copy over the one in `into`, keeping the replaced one in History.
    int Copy(platform::CopyStats& stats, const std::optional<platform::FileTime>& since,
             int refuse = 0) {
        platform::CopyOptions options;
        options.keep = At(kept);
        options.linkUnchanged = true;
        options.readSince = since;
        options.stats = &stats;
        options.refuseLinks = refuse;
        return platform::CopyTree(At(src), At(into), options);
    }
};

// Catches: a link taken on equal size and time alone for a file rewritten after the old
// copy read it, or one whose mode or attributes changed (a link would carry the old ones,
// and the old copy would change with the new); a changed file linked, or an unchanged one
// copied; the replaced copy changed by the new one; counts that do not add up.
TEST_F(TreeLink, UnchangedFilesAreSharedEverythingElseIsCopied) {
    platform::CopyStats first;
    ASSERT_EQ(Copy(first, std::nullopt), 0);
    ASSERT_TRUE(first.began);
    EXPECT_EQ(first.copied, 6U);
    const std::string before = TreeFingerprint(copy);

    const struct stat was = StatOf(src / "rewritten.dat");
    WriteText(src / "rewritten.dat", "9876543210"); // same size, same time
    KeepTime(src / "rewritten.dat", was);
    ::chmod((src / "mode.dat").c_str(), 0600);
    const bool attrs = ::setxattr((src / "attr.dat").c_str(), "user.dittoly", "x", 1, 0) == 0;
    WriteText(src / "grown.dat", "longer now");

    platform::CopyStats second;
    ASSERT_EQ(Copy(second, first.began), 0);
    EXPECT_TRUE(Same(src, copy));
    EXPECT_EQ(TreeFingerprint(kept / "Settings"), before);
    EXPECT_TRUE(SameFile(copy / "same.dat", kept / "Settings" / "same.dat"));
    EXPECT_TRUE(SameFile(copy / "sub" / "deep.dat", kept / "Settings" / "sub" / "deep.dat"));
    EXPECT_EQ(StatOf(copy / "same.dat").st_nlink, 2U);
    for (const char* changed : {"rewritten.dat", "mode.dat", "grown.dat"}) {
        EXPECT_FALSE(SameFile(copy / changed, kept / "Settings" / changed)) << changed;
    }
    EXPECT_EQ(SameFile(copy / "attr.dat", kept / "Settings" / "attr.dat"), !attrs);
    EXPECT_EQ(second.linked + second.copied, 6U);
    EXPECT_EQ(second.copied, attrs ? 4U : 3U);
    EXPECT_EQ(ReadText(kept / "Settings" / "rewritten.dat"), "0123456789");
}

// Catches: a copy that reads every file even when their last change says they were read
// already (the cost the moment exists to save), and a comparison that does not.
TEST_F(TreeLink, TheMomentSparesTheReading) {
    platform::CopyStats first;
    ASSERT_EQ(Copy(first, std::nullopt), 0);
    // A backup changed by hand at the same size and time: only a reading would tell, and
    // a moment after every change says nothing needs reading.
    ::chmod((copy / "same.dat").c_str(), 0644);
    WriteText(copy / "same.dat", "UNCHANGED SETTINGS");
    KeepTime(copy / "same.dat", StatOf(src / "same.dat"));
    ::chmod((src / "same.dat").c_str(), StatOf(src / "same.dat").st_mode & 07777); // now
    const platform::FileTime later{first.began->sec + 3600, 0};
    EXPECT_FALSE(Same(src, copy));
    EXPECT_TRUE(Same(src, copy, later));
    EXPECT_FALSE(Same(src, copy, first.began)) << "a file changed in the moment is read";
}

// Catches: a file system without hard links failing the backup instead of copying; names
// of one file in the app's folder turned into two files (or, without links, into one).
TEST_F(TreeLink, WithoutLinksItCopiesAndOneFileStaysOneFile) {
    fs::create_hard_link(src / "same.dat", src / "sub" / "alias.dat");
    platform::CopyStats first;
    ASSERT_EQ(Copy(first, std::nullopt), 0);
    EXPECT_TRUE(SameFile(copy / "same.dat", copy / "sub" / "alias.dat"));
    EXPECT_EQ(StatOf(copy / "same.dat").st_nlink, 2U);

    platform::CopyStats refused;
    ASSERT_EQ(Copy(refused, first.began, EPERM), 0);
    EXPECT_EQ(refused.linked, 0U);
    EXPECT_EQ(refused.copied, 7U);
    EXPECT_TRUE(Same(src, copy));
    EXPECT_EQ(StatOf(copy / "same.dat").st_nlink, 1U);
    EXPECT_EQ(ReadText(copy / "sub" / "alias.dat"), "unchanged settings");
}

// Catches: a copy out of a backup whose files its generations share that gives the app a
// file still shared with them, so the app's next write would change its backups.
TEST_F(TreeLink, ACopyOutOfSharedFilesSharesNothing) {
    platform::CopyStats first;
    platform::CopyStats second;
    ASSERT_EQ(Copy(first, std::nullopt), 0);
    ASSERT_EQ(Copy(second, first.began), 0);
    ASSERT_GE(StatOf(copy / "same.dat").st_nlink, 2U);
    const fs::path restored = dir.path() / "app";
    fs::create_directories(restored);
    ASSERT_EQ(platform::CopyTree(At(copy), At(restored)), 0);
    for (const auto& entry : fs::recursive_directory_iterator(restored)) {
        if (entry.is_regular_file()) {
            EXPECT_EQ(StatOf(entry.path()).st_nlink, 1U) << entry.path();
        }
    }
    EXPECT_TRUE(Same(restored / "Settings", src));
}

// Catches: a measure that counts a shared file once per name, so the disk use of linked
// generations reads as whole copies.
TEST_F(TreeLink, ListFilesTellsNamesOfOneFile) {
    fs::create_hard_link(src / "same.dat", src / "alias.dat");
    std::map<std::uint64_t, int> names;
    ASSERT_EQ(platform::ListFiles(At(src),
                                  [&](const platform::FileIdentity& file) {
                                      ++names[file.index];
                                      EXPECT_EQ(file.links,
                                                file.index == StatOf(src / "same.dat").st_ino ? 2U
                                                                                              : 1U);
                                  }),
              0);
    EXPECT_EQ(names.size(), 6U);
    EXPECT_EQ(names[StatOf(src / "same.dat").st_ino], 2);
}

} // namespace
