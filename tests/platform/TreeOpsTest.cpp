// CopyTree and RemoveTree on real temporary trees: merges over an older backup, links
// that must never be followed, and failures that must stay partial and reported.
#include "Fixtures.h"
#include "platform/Platform.h"

#include <fcntl.h>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using testsupport::ReadText;
using testsupport::TempDir;
using testsupport::TreeFingerprint;
using testsupport::WriteText;
namespace fs = std::filesystem;

const bool kRoot = ::geteuid() == 0;

struct stat StatOf(const fs::path& p) {
    struct stat st {};
    EXPECT_EQ(::lstat(p.c_str(), &st), 0) << p;
    return st;
}

void SetTimes(const fs::path& p, time_t sec, long nsec) {
    const timespec t[2] = {{sec, nsec}, {sec, nsec}};
    ASSERT_EQ(::utimensat(AT_FDCWD, p.c_str(), t, AT_SYMLINK_NOFOLLOW), 0);
}

// Root ignores permission bits, so for root a failure is provoked with the immutable
// flag instead; false when the file system or the container does not allow it.
bool SetImmutable(const fs::path& p, bool on) {
    const int fd = ::open(p.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    int flags = 0;
    bool ok = fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
    ok = ok && ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    if (fd >= 0) {
        ::close(fd);
    }
    return ok;
}

// Runs `work` in a child process that an alarm stops after a few seconds, so a copy
// that chases its own output fails the test instead of filling the disk. The child's
// exit code, or -1 when it was killed.
int InChild(const std::function<int()>& work) {
    const pid_t child = ::fork();
    if (child == 0) {
        ::alarm(2);
        ::_exit(work());
    }
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child) {
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The folder `p` as the operations take it: its parent as the trusted root.
platform::Below At(const fs::path& p) {
    return {p.parent_path().string(), {p.filename().string()}};
}

bool HasTemporaries(const fs::path& folder) {
    return TreeFingerprint(folder).find(".dittoly-") != std::string::npos;
}

class CopyTreeTest : public ::testing::Test {
protected:
    TempDir tmp;
    fs::path src = tmp.path() / "Packages" / "App_x" / "Settings";
    fs::path backup = tmp.path() / "Backup";
    fs::path outside = tmp.path() / "outside";

    void SetUp() override {
        WriteText(src / "settings.dat", "new settings");
        WriteText(src / "roaming" / "state.json", "{}");
        WriteText(src / "roaming" / "deep" / "tool.sh", "#!/bin/sh");
        WriteText(outside / "secret.txt", "secret");
        for (int i = 0; i < 8; ++i) {
            WriteText(src / (i < 4 ? "many" : "linked") / std::to_string(i),
                      std::string(1000 + 1000 * i, 'a'));
        }
        fs::create_directories(backup);
        ::chmod((src / "roaming" / "deep" / "tool.sh").c_str(), 0751);
        ::chmod((src / "settings.dat").c_str(), 0440);
        SetTimes(src / "settings.dat", 1000000000, 123456789);
        SetTimes(src / "roaming", 1100000000, 5);
    }
    int Copy() { return platform::CopyTree(At(src), {backup.string(), {}}); }
};

TEST_F(CopyTreeTest, CopiesIntoEmptyBackupAndMergesOverAnOlderOne) {
    ASSERT_EQ(Copy(), 0);
    const fs::path out = backup / "Settings";
    EXPECT_EQ(TreeFingerprint(out), TreeFingerprint(src));
    for (const char* rel : {"settings.dat", "roaming", "roaming/deep/tool.sh"}) {
        const auto a = StatOf(src / rel);
        const auto b = StatOf(out / rel);
        EXPECT_EQ(a.st_mode, b.st_mode) << rel;
        EXPECT_EQ(a.st_mtim.tv_sec, b.st_mtim.tv_sec) << rel;
        EXPECT_EQ(a.st_mtim.tv_nsec, b.st_mtim.tv_nsec) << rel;
    }

    // The older backup has a file the app no longer has, a read-only copy of a file
    // that changed since, and files with second names outside: the first stays, the
    // second is replaced, the outside names keep the old content.
    WriteText(out / "roaming" / "old-only.txt", "kept");
    ::chmod((out / "roaming" / "state.json").c_str(), 0444);
    WriteText(src / "roaming" / "state.json", "{\"v\":2}");
    WriteText(src / "added" / "new.txt", "new");
    for (int i = 0; i < 8; ++i) {
        const auto name = std::to_string(i);
        const fs::path folder = i < 4 ? "many" : "linked";
        if (i >= 4) {
            fs::create_hard_link(out / folder / name, outside / name);
        }
        WriteText(src / folder / name, std::string(50 + 100 * i, 'b')); // all shorter
    }
    ::chmod((src / "many" / "3").c_str(), 0600);
    // A program that still has an old file open keeps reading the old content.
    std::ifstream held0(out / "many" / "0");
    std::ifstream held1(out / "many" / "1");
    ASSERT_EQ(Copy(), 0);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(held0), {}), std::string(1000, 'a'));
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(held1), {}), std::string(2000, 'a'));
    EXPECT_EQ(ReadText(out / "roaming" / "old-only.txt"), "kept");
    fs::remove(out / "roaming" / "old-only.txt");
    EXPECT_EQ(TreeFingerprint(out), TreeFingerprint(src));
    EXPECT_EQ(StatOf(out / "many" / "3").st_mode & 07777, 0600u);
    for (int i = 4; i < 8; ++i) {
        EXPECT_EQ(ReadText(outside / std::to_string(i)), std::string(1000 + 1000 * i, 'a'));
    }
}

// Between two file systems the kernel copy is refused and plain reads take over; a
// file larger than one read buffer checks that they continue where they should.
TEST_F(CopyTreeTest, CopiesToAnotherFileSystem) {
    std::string other = "/dev/shm/dittoly-tree-XXXXXX";
    struct stat shm {};
    if (::stat("/dev/shm", &shm) != 0 || shm.st_dev == StatOf(tmp.path()).st_dev ||
        ::mkdtemp(other.data()) == nullptr) {
        GTEST_SKIP() << "no second file system at /dev/shm";
    }
    std::string big; // counting, so a misplaced block shows
    for (int i = 0; i < 150000; ++i) {
        big += std::to_string(i);
    }
    WriteText(src / "big.bin", big);
    EXPECT_EQ(platform::CopyTree(At(src), {other, {}}), 0);
    EXPECT_EQ(TreeFingerprint(fs::path(other) / "Settings"), TreeFingerprint(src));
    fs::remove_all(other);
}

TEST_F(CopyTreeTest, RefusesBadSourcesAndDestinations) {
    const auto before = TreeFingerprint(tmp.path());
    const platform::Below toBackup{backup.string(), {}};
    EXPECT_NE(platform::CopyTree(At(tmp.path() / "missing"), toBackup), 0);
    EXPECT_NE(platform::CopyTree(At(src / "settings.dat"), toBackup), 0);
    EXPECT_NE(platform::CopyTree(At(src), At(tmp.path() / "no-backup")), 0);
    fs::create_symlink(src, tmp.path() / "link");
    EXPECT_NE(platform::CopyTree(At(tmp.path() / "link"), toBackup), 0);
    fs::remove(tmp.path() / "link");
    // Into itself, into its own subtree, onto itself: nothing may be written.
    for (const fs::path& into : {src, src / "roaming" / "deep" / "", src.parent_path()}) {
        EXPECT_EQ(InChild([&] {
                      return platform::CopyTree(At(src), {into.string(), {}}) != 0 ? 1 : 0;
                  }),
                  1)
            << into;
    }
    EXPECT_EQ(TreeFingerprint(tmp.path()), before);
}

TEST_F(CopyTreeTest, LeavesWhatItMustNotReplaceAndCopiesTheRest) {
    WriteText(backup / "Settings", "a plain file");
    EXPECT_NE(Copy(), 0);
    EXPECT_EQ(ReadText(backup / "Settings"), "a plain file");

    fs::remove(backup / "Settings");
    WriteText(backup / "Settings" / "roaming", "file where a folder goes");
    fs::create_directories(backup / "Settings" / "settings.dat" / "inner");
    EXPECT_NE(Copy(), 0);
    EXPECT_EQ(ReadText(backup / "Settings" / "roaming"), "file where a folder goes");
    EXPECT_TRUE(fs::is_directory(backup / "Settings" / "settings.dat" / "inner"));
    EXPECT_FALSE(HasTemporaries(backup));

    // A file that cannot be replaced stays as it was; the rest is still copied.
    fs::remove_all(backup / "Settings");
    ASSERT_EQ(Copy(), 0);
    const fs::path kept = backup / "Settings" / "roaming" / "state.json";
    WriteText(src / "roaming" / "state.json", "newer");
    WriteText(src / "fresh.txt", "fresh");
    if (kRoot ? !SetImmutable(kept, true) : ::chmod(kept.parent_path().c_str(), 0555) != 0) {
        GTEST_SKIP() << "cannot make the destination file unreplaceable here";
    }
    EXPECT_NE(Copy(), 0);
    EXPECT_EQ(ReadText(kept), "{}");
    EXPECT_EQ(ReadText(backup / "Settings" / "fresh.txt"), "fresh");
    kRoot ? (void)SetImmutable(kept, false) : (void)::chmod(kept.parent_path().c_str(), 0755);
    EXPECT_FALSE(HasTemporaries(backup));
}

TEST_F(CopyTreeTest, SkipsLinksAndPipesButCopiesTheRest) {
    fs::create_symlink(outside / "secret.txt", src / "secret-link");
    fs::create_directory_symlink(outside, src / "roaming" / "outside-link");
    ASSERT_EQ(::mkfifo((src / "pipe").c_str(), 0644), 0);
    EXPECT_NE(Copy(), 0);
    const fs::path out = backup / "Settings";
    EXPECT_FALSE(fs::exists(fs::symlink_status(out / "secret-link")));
    EXPECT_FALSE(fs::exists(fs::symlink_status(out / "roaming" / "outside-link")));
    EXPECT_FALSE(fs::exists(fs::symlink_status(out / "pipe")));
    EXPECT_EQ(ReadText(out / "roaming" / "deep" / "tool.sh"), "#!/bin/sh");
    EXPECT_EQ(TreeFingerprint(outside), "secret.txt = secret\n");
}

TEST_F(CopyTreeTest, SkipsAnUnreadableFolderButCopiesTheRest) {
    if (kRoot) {
        GTEST_SKIP() << "root reads folders whatever their permissions";
    }
    ::chmod((src / "roaming" / "deep").c_str(), 0);
    EXPECT_NE(Copy(), 0);
    EXPECT_EQ(ReadText(backup / "Settings" / "roaming" / "state.json"), "{}");
    EXPECT_FALSE(fs::exists(backup / "Settings" / "roaming" / "deep"));
}

class RemoveTreeTest : public ::testing::Test {
protected:
    TempDir tmp;
    fs::path pkg = tmp.path() / "App_x";
    fs::path outside = tmp.path() / "outside";

    void SetUp() override {
        WriteText(pkg / "Settings" / "settings.dat", "s");
        WriteText(pkg / "LocalCache" / "a" / "b" / "c.bin", "c");
        WriteText(outside / "keep.txt", "keep");
        ::chmod((pkg / "Settings" / "settings.dat").c_str(), 0444);
    }
};

TEST_F(RemoveTreeTest, RemovesTheWholeTreeButNeverThroughALinkInsideOrGiven) {
    fs::create_symlink(outside / "keep.txt", pkg / "Settings" / "file-link");
    fs::create_directory_symlink(outside, pkg / "LocalCache" / "folder-link");
    EXPECT_EQ(platform::RemoveTree(At(pkg)), 0);
    EXPECT_FALSE(fs::exists(fs::symlink_status(pkg)));
    EXPECT_EQ(TreeFingerprint(outside), "keep.txt = keep\n");
    EXPECT_NE(platform::RemoveTree(At(pkg)), 0);

    // A link given as the path is refused: neither it nor what it leads to goes.
    fs::create_directory_symlink(outside, tmp.path() / "link");
    EXPECT_NE(platform::RemoveTree(At(tmp.path() / "link")), 0);
    EXPECT_TRUE(fs::exists(fs::symlink_status(tmp.path() / "link")));
    EXPECT_EQ(TreeFingerprint(outside), "keep.txt = keep\n");
}

TEST_F(RemoveTreeTest, RemovesAllItCanAndReportsTheRest) {
    const fs::path stuck = pkg / "LocalCache" / "a" / "b";
    const fs::path pinned = stuck / "c.bin";
    if (kRoot ? !SetImmutable(pinned, true) : ::chmod(stuck.c_str(), 0) != 0) {
        GTEST_SKIP() << "cannot make a file undeletable here";
    }
    EXPECT_NE(platform::RemoveTree(At(pkg)), 0);
    kRoot ? (void)SetImmutable(pinned, false) : (void)::chmod(stuck.c_str(), 0755);
    EXPECT_EQ(TreeFingerprint(pkg), "LocalCache/\nLocalCache/a/\nLocalCache/a/b/\n"
                                    "LocalCache/a/b/c.bin = c\n");
}

TEST_F(RemoveTreeTest, RefusesPathsThatNameNoSingleFolder) {
    const auto before = TreeFingerprint(tmp.path());
    for (const char* bad : {"", ".", "..", "Settings/..", "a/b"}) {
        EXPECT_NE(platform::RemoveTree({pkg.string(), {bad}}), 0) << bad;
    }
    EXPECT_NE(platform::RemoveTree({pkg.string(), {}}), 0);
    EXPECT_EQ(TreeFingerprint(tmp.path()), before);

    // "/" is tried only inside a child confined to the temporary folder, so a fault
    // here can never reach the real root.
    const int result = InChild([&] {
        if ((!kRoot && ::unshare(CLONE_NEWUSER) != 0) || ::chroot(tmp.path().c_str()) != 0 ||
            ::chdir("/") != 0) {
            return 77;
        }
        return platform::RemoveTree({"/", {}}) != 0 && platform::RemoveTree({"//", {}}) != 0 ? 0
                                                                                             : 1;
    });
    EXPECT_EQ(TreeFingerprint(tmp.path()), before);
    if (result == 77) {
        GTEST_SKIP() << "cannot confine a child to try \"/\"";
    }
    EXPECT_EQ(result, 0);
}

} // namespace
