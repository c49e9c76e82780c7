// CopyTree, RemoveTree, CompareTrees and the lock on real temporary trees. Long because each
// guarantee needs its own setting: links and mounts at every level, an ordinary user, a tiny
// disk, a deep tree, other processes.
#include "Fixtures.h"
#include "platform/Platform.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <grp.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sched.h>
#include <set>
#include <sstream>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace {

using namespace testsupport;

const bool kRoot = ::geteuid() == 0;
constexpr uid_t kNobody = 65534;

// Makes a file one nobody may remove, or removable again; false when this user, file
// system or container cannot.
bool ToggleImmutable(const fs::path& p) {
    const int fd = ::open(p.c_str(), O_RDONLY | O_CLOEXEC);
    int flags = 0;
    const bool ok = fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 &&
                    ::ioctl(fd, FS_IOC_SETFLAGS, &(flags ^= FS_IMMUTABLE_FL)) == 0;
    ::close(fd);
    return ok;
}

// Runs `work` in a child process that an alarm stops, so a copy that chases its own
// output fails the test instead of filling the disk. The child's exit code, or -1.
int InChild(const std::function<int()>& work, unsigned seconds = 2) {
    const pid_t child = ::fork();
    if (child == 0) {
        ::alarm(seconds);
        ::_exit(work());
    }
    int status = 0;
    const bool ended = child > 0 && ::waitpid(child, &status, 0) == child;
    return ended && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The folder `p` as the operations take it: its parent as the trusted root.
platform::Below At(const fs::path& p) {
    return {p.parent_path().string(), {p.filename().string()}};
}

std::set<std::string> Names(const fs::path& folder) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        names.insert(entry.path().filename());
    }
    return names;
}

// Mode, owner, modification time and every extended attribute of `root` and each entry
// below it, one row each.
std::set<std::string> MetaTree(const fs::path& root) {
    std::set<std::string> rows;
    for (auto it = fs::recursive_directory_iterator(root);; ++it) {
        const fs::path p = it == fs::recursive_directory_iterator() ? root : it->path();
        struct stat st {};
        ::lstat(p.c_str(), &st);
        std::ostringstream row;
        row << fs::relative(p, root).string() << ' ' << st.st_mode << ' ' << st.st_uid << ':'
            << st.st_gid << ' ' << st.st_mtim.tv_sec << '.' << st.st_mtim.tv_nsec;
        char names[4096], value[4096];
        const ssize_t n = ::llistxattr(p.c_str(), names, sizeof names);
        for (ssize_t at = 0; at < n; at += std::strlen(names + at) + 1) {
            const ssize_t len = ::lgetxattr(p.c_str(), names + at, value, sizeof value);
            row << ' ' << names + at << '=' << std::string(value, std::max(len, 0L));
        }
        rows.insert(row.str());
        if (p == root) {
            return rows;
        }
    }
}

// A POSIX access list that lets `reader` read, as the kernel stores it: a version, then
// entries of tag and permissions (16 bits each) and id. The owner keeps rwx, so folders
// that inherit it stay usable to an owner without root's overrides.
std::string AclFor(std::uint32_t reader) {
    const std::uint32_t words[] = {2,   0x70001, ~0u, 0x40002, reader, 0x40004,
                                   ~0u, 0x40010, ~0u, 0x20,    ~0u};
    return std::string(reinterpret_cast<const char*>(words), sizeof words);
}

void SetAttr(const fs::path& p, const char* name, const std::string& value) {
    ASSERT_EQ(::lsetxattr(p.c_str(), name, value.data(), value.size(), 0), 0) << p << name;
}

// Gives `to` the modification time of `from`, moved by `ns` nanoseconds.
void SetTime(const fs::path& to, const fs::path& from, long ns = 0) {
    struct stat st {};
    ASSERT_EQ(::lstat(from.c_str(), &st), 0) << from;
    st.st_mtim.tv_nsec = (st.st_mtim.tv_nsec + ns) % 1000000000;
    const timespec times[2] = {st.st_atim, st.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, to.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << to;
}

// Builds (when `levels` > 0) or measures a chain of folders "d/d/d/..." below `top`,
// through descriptors, since the path soon passes the system's length limit.
int Chain(const fs::path& top, int levels) {
    int fd = ::open(top.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (int depth = 0;; ++depth) {
        if (depth < levels) {
            ::mkdirat(fd, "d", 0755);
        }
        const int next = ::openat(fd, "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ::close(fd);
        if ((fd = next) < 0) {
            return depth;
        }
    }
}

class TreeOpsTest : public ::testing::Test {
protected:
    TempDir tmp;
    fs::path pkgs = tmp.path() / "Packages";
    fs::path src = pkgs / "App_x" / "Settings";
    fs::path backup = tmp.path() / "Backup";
    fs::path into = backup / "App_x";
    fs::path out = into / "Settings";
    fs::path outside = tmp.path() / "outside";
    const std::string kOutside = "secret.txt = secret\n"; // what no operation may change

    void SetUp() override {
        WriteText(src / "settings.dat", "new settings");
        WriteText(src / "roaming" / "state.json", "{}");
        WriteText(src / "roaming" / "deep" / "tool.sh", "#!/bin/sh");
        WriteText(outside / "secret.txt", "secret");
        fs::create_directories(into);
        ::chmod((src / "roaming" / "deep" / "tool.sh").c_str(), 0751);
        ::chmod((src / "settings.dat").c_str(), 0640);
        fs::last_write_time(src / "settings.dat", fs::file_time_type(std::chrono::nanoseconds(7)));
    }
    int Copy() { return platform::CopyTree({pkgs.string(), {"App_x", "Settings"}}, At(into)); }
};

// Catches: a merge instead of a replacement, attributes or access lists lost, inherited,
// or carried from an old file to a new one (inode reuse), owners or times lost.
TEST_F(TreeOpsTest, MakesAnExactCopyAndThenReplacesItWhole) {
    SetAttr(into, "system.posix_acl_default", AclFor(kNobody)); // not to be inherited
    SetAttr(src / "settings.dat", "user.origin", "app");
    SetAttr(src / "roaming", "system.posix_acl_default", AclFor(kNobody));
    SetAttr(src / "roaming" / "state.json", "system.posix_acl_access", AclFor(kNobody));
    if (kRoot) {
        ASSERT_EQ(::lchown((src / "roaming" / "state.json").c_str(), kNobody, kNobody), 0);
    }
    ASSERT_EQ(Copy(), 0);
    EXPECT_EQ(TreeFingerprint(out), TreeFingerprint(src));
    EXPECT_EQ(MetaTree(out), MetaTree(src));

    // The old copy holds what the app has since deleted (a database journal), and its
    // files carry attributes and access lists the app's files do not have.
    WriteText(out / "app.db-wal", "journal of an older state");
    for (const char* rel : {"settings.dat", "roaming/state.json", "roaming/deep/tool.sh"}) {
        SetAttr(out / rel, "user.stale", "old");
        SetAttr(out / rel, "system.posix_acl_access", AclFor(kNobody + 1));
    }
    ASSERT_EQ(::lremovexattr((src / "roaming" / "state.json").c_str(), "system.posix_acl_access"),
              0);
    WriteText(src / "settings.dat", "newer settings");
    WriteText(src / "added" / "new.txt", "new");
    ASSERT_EQ(Copy(), 0);
    EXPECT_EQ(TreeFingerprint(out), TreeFingerprint(src));
    EXPECT_EQ(MetaTree(out), MetaTree(src));
    EXPECT_EQ(Names(into), std::set<std::string>{"Settings"});
}

// Catches: a link or a file standing where a folder should be, at any level of either
// path, being followed or replaced; a copy into itself that never ends; a removal of a
// path that names no single folder.
TEST_F(TreeOpsTest, RefusesLinksAndBadPathsTouchingNothing) {
    for (const fs::path& root : {pkgs, backup}) {
        fs::create_directory_symlink(outside, root / "Linked_l");
        fs::create_directories(root / "Inner_i");
        fs::create_directory_symlink(outside, root / "Inner_i" / "Settings");
    }
    WriteText(backup / "File_f", "a file where a folder goes");
    const auto before = TreeFingerprint(tmp.path());
    for (const std::string pkg : {"Linked_l", "Inner_i", "File_f"}) {
        EXPECT_NE(platform::CopyTree({pkgs.string(), {pkg, "Settings"}}, At(into)), 0) << pkg;
        EXPECT_NE(platform::CopyTree({backup.string(), {pkg, "Settings"}}, At(into)), 0) << pkg;
        EXPECT_NE(platform::CopyTree(At(src), {backup.string(), {pkg}}), 0) << pkg;
        EXPECT_NE(platform::RemoveTree({pkgs.string(), {pkg, "Settings"}}), 0) << pkg;
        EXPECT_FALSE(platform::MakeFolder({pkgs.string(), {pkg, "Settings", "x"}})) << pkg;
        EXPECT_FALSE(platform::MakeFolderChain({backup.string(), {pkg, "Settings", "y"}})) << pkg;
    }
    EXPECT_NE(platform::RemoveTree({pkgs.string(), {"Linked_l"}}), 0);
    EXPECT_NE(platform::CopyTree({pkgs.string(), {"Missing_m", "Settings"}}, At(into)), 0);
    EXPECT_NE(platform::CopyTree(At(src / "settings.dat"), At(into)), 0);
    // Names that are no single folder below the root: not even the root itself.
    for (const char* bad : {"", ".", "..", "Settings/..", "a/b"}) {
        EXPECT_NE(platform::RemoveTree({src.parent_path().string(), {bad}}), 0) << bad;
    }
    EXPECT_NE(platform::RemoveTree({src.parent_path().string(), {}}), 0);
    // Into itself, into its own subtree, onto itself: nothing may be written.
    for (const fs::path& dst : {src, src / "roaming" / "deep", src.parent_path()}) {
        const auto refused = [&] { return platform::CopyTree(At(src), {dst.string(), {}}) != 0; };
        EXPECT_EQ(InChild(refused), 1) << dst; // not 0, nor stopped by the alarm
    }
    EXPECT_EQ(TreeFingerprint(tmp.path()), before);
}

// Catches: a link, pipe or socket copied (or followed), or one keeping the rest of an
// otherwise complete copy from its place.
TEST_F(TreeOpsTest, EntriesNeverCopiedDoNotHoldBackTheRest) {
    fs::create_symlink(outside / "secret.txt", src / "secret-link");
    fs::create_directory_symlink(outside, src / "roaming" / "outside-link");
    ASSERT_EQ(::mkfifo((src / "pipe").c_str(), 0644), 0);
    EXPECT_NE(Copy(), 0);
    for (const char* rel : {"secret-link", "roaming/outside-link", "pipe"}) {
        fs::remove(src / rel);
    }
    EXPECT_EQ(TreeFingerprint(out), TreeFingerprint(src));
    EXPECT_EQ(TreeFingerprint(outside), kOutside);
}

// Catches: leftovers of a killed copy kept or carried on, another run's work removed, an
// old copy left aside by a killed swap lost, source names like ours dropped.
TEST_F(TreeOpsTest, LeftoversOfDeadRunsGoAndRunsInProgressStay) {
    // No process ever has the id pid_max: these are a dead run's.
    const std::string mine =
        ".Settings.dittoly-" + std::to_string(std::stol(ReadText("/proc/sys/kernel/pid_max")));
    const std::string live = ".Settings.dittoly-" + std::to_string(::getppid()) + "-0.new";
    WriteText(into / (mine + "-0.new") / "half.txt", "half a copy");
    WriteText(into / (mine + "-1.old") / "old.txt", "the old copy");
    fs::create_directories(into / live);
    WriteText(src / (mine + "-2.new"), "an app file with a name like ours");
    WriteText(src / ".dittoly-1-0.tmp", "another one");
    EXPECT_NE(platform::CopyTree({pkgs.string(), {"Missing_m", "Settings"}}, At(into)), 0);
    EXPECT_EQ(ReadText(out / "old.txt"), "the old copy");
    ASSERT_EQ(Copy(), 0);
    EXPECT_EQ(TreeFingerprint(out), TreeFingerprint(src));
    EXPECT_EQ(Names(into), (std::set<std::string>{live, "Settings"}));
}

// Catches: the old copy a killed keeping swap left (exchanged: its inode in its name)
// removed, or the new one it was not yet exchanged with kept in its place; a complete copy
// marked ready not put in place; a folder half removed by a killed discard left over.
TEST_F(TreeOpsTest, WhatKilledKeepingSwapsAndDiscardsLeftIsFinishedOrRemoved) {
    const std::string dead = std::to_string(std::stol(ReadText("/proc/sys/kernel/pid_max")));
    const fs::path history = backup / "History";
    WriteText(history / "one" / "moved" / "old.txt", "the old copy");
    struct stat st {};
    ::stat((history / "one" / "moved").c_str(), &st);
    fs::rename(history / "one" / "moved",
               history / "one" /
                   (".Settings.dittoly-" + dead + "-" + std::to_string(st.st_ino) + ".swap"));
    WriteText(history / "two" / (".Settings.dittoly-" + dead + "-1.swap") / "new.txt", "new");
    WriteText(history / (".three.dittoly-" + dead + "-0.gone") / "half.txt", "half");
    WriteText(into / (".Settings.dittoly-" + dead + "-0.ready") / "ready.txt", "complete");
    for (const fs::path& folder : {history / "one", history / "two", history, into}) {
        platform::ClearLeftovers(At(folder));
    }
    EXPECT_EQ(ReadText(history / "one" / "Settings" / "old.txt"), "the old copy");
    EXPECT_TRUE(fs::is_empty(history / "two"));
    EXPECT_EQ(Names(history), (std::set<std::string>{"one", "two"}));
    EXPECT_EQ(ReadText(out / "ready.txt"), "complete");
}

// Catches: a read-only folder in Settings making every later Backup or Restore fail for
// an ordinary user (an old copy that cannot be removed, a folder that cannot be filled).
// Root becomes the user nobody for it; an ordinary user stays itself (-1: owner unchanged).
TEST_F(TreeOpsTest, ReadOnlyFoldersWorkEveryTimeForAnOrdinaryUser) {
    WriteText(src / "ro" / "inner" / "f.txt", "read-only");
    ::chmod((src / "ro" / "inner").c_str(), 0555);
    ::chmod((src / "ro").c_str(), 0555);
    const uid_t user = kRoot ? kNobody : -1;
    for (const auto& entry : fs::recursive_directory_iterator(tmp.path())) {
        ASSERT_EQ(::lchown(entry.path().c_str(), user, user), 0);
    }
    ASSERT_EQ(::lchown(tmp.path().c_str(), user, user), 0);
    const auto asNobody = [&] {
        if (kRoot && (::setgroups(0, nullptr) != 0 || ::setgid(user) != 0 || ::setuid(user) != 0)) {
            return 77;
        }
        for (int i = 1; i <= 2; ++i) { // Backup, then Restore, each over an older copy
            if (Copy() != 0 || platform::CopyTree(At(out), At(src.parent_path())) != 0) {
                return i;
            }
        }
        return TreeFingerprint(src) != TreeFingerprint(out) ? 3
               : platform::RemoveTree(At(src)) != 0         ? 4
                                                            : 0;
    };
    const int result = InChild(asNobody, 20);
    ASSERT_NE(result, 77) << "cannot become an ordinary user";
    EXPECT_EQ(result, 0);
}

// Catches: one open descriptor per level, which runs out long before rm -rf does.
TEST_F(TreeOpsTest, DeepTreesNeedFewDescriptors) {
    constexpr int kDepth = 2000;
    ASSERT_EQ(Chain(src, kDepth), kDepth);
    const auto withFewDescriptors = [&] {
        const rlimit few{64, 64};
        if (::setrlimit(RLIMIT_NOFILE, &few) != 0) {
            return 77;
        }
        return Copy() != 0                           ? 1
               : Chain(out, 0) != kDepth             ? 2
               : platform::RemoveTree(At(src)) != 0  ? 3 // Normal Reset
               : platform::RemoveTree(At(into)) != 0 ? 4 // a whole package folder
                                                     : 0;
    };
    EXPECT_EQ(InChild(withFewDescriptors, 60), 0);
}

// Catches: a bind mount of the same file system emptied or copied through, a sparse file
// filling a small disk, plain reads (between file systems) resuming at the wrong place, a
// copy that fails half-way leaving a mix or a leftover.
TEST_F(TreeOpsTest, MountsAreNeverCrossedAndAFullDiskLeavesTheOldCopy) {
    const fs::path bound = pkgs / "Bound_b" / "Settings";
    const fs::path big = tmp.path() / "big" / "Settings";
    const fs::path small = tmp.path() / "small";
    for (const fs::path& p : {src / "mnt", bound, big, small}) {
        fs::create_directories(p);
    }
    std::ofstream(big / "sparse.bin").seekp(10LL << 30) << "end"; // 10 GiB, nearly all hole
    std::string counting; // over three read buffers, so a misplaced block shows
    for (int i = 0; i < 150000; ++i) {
        counting += std::to_string(i);
    }
    WriteText(big / "counting.txt", counting);
    const auto inOwnMounts = [&] {
        if (!kRoot || ::unshare(CLONE_NEWNS) != 0 ||
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount(outside.c_str(), (src / "mnt").c_str(), nullptr, MS_BIND, nullptr) != 0 ||
            ::mount(outside.c_str(), bound.c_str(), nullptr, MS_BIND, nullptr) != 0 ||
            ::mount("tmpfs", small.c_str(), "tmpfs", 0, "size=2m") != 0) {
            return 77;
        }
        if (Copy() == 0 || !fs::exists(out / "settings.dat") || fs::exists(out / "mnt") ||
            platform::RemoveTree({pkgs, {"App_x"}}) == 0) {
            return 1;
        }
        if (platform::RemoveTree(At(bound)) == 0 || platform::CopyTree(At(bound), At(into)) == 0 ||
            platform::RemoveTree(At(bound.parent_path())) == 0 ||
            TreeFingerprint(outside) != kOutside) {
            return 2;
        }
        struct stat st {};
        if (platform::CopyTree(At(big), {small, {}}) != 0 ||
            ::stat((small / "Settings" / "sparse.bin").c_str(), &st) != 0 ||
            st.st_size != (10LL << 30) + 3 || st.st_blocks > 64 ||
            ReadText(small / "Settings" / "counting.txt") != counting) {
            return 3;
        }
        WriteText(big / "full.bin", std::string(3 << 20, 'x')); // more than the disk holds
        return platform::CopyTree(At(big), {small, {}}) == 0 ||
                       Names(small) != std::set<std::string>{"Settings"} ||
                       Names(small / "Settings").count("full.bin") != 0
                   ? 4
                   : 0;
    };
    const int result = InChild(inOwnMounts, 20);
    if (result == 77) {
        GTEST_SKIP() << "mounts need root and a mount namespace of its own";
    }
    EXPECT_EQ(result, 0);
    EXPECT_EQ(TreeFingerprint(outside), kOutside);
}

// Catches: a removal that follows a link inside, stops at its first failure, or says it
// succeeded with something left.
TEST_F(TreeOpsTest, RemovesAllItCanButNeverThroughALinkAndReportsTheRest) {
    const fs::path pkg = src.parent_path();
    const fs::path pinned = pkg / "LocalCache" / "a" / "c.bin";
    WriteText(pinned, "c");
    fs::create_symlink(outside / "secret.txt", src / "file-link");
    fs::create_directory_symlink(outside, src / "roaming" / "folder-link");
    if (!ToggleImmutable(pinned)) {
        GTEST_SKIP() << "an undeletable file (chattr +i) needs root and a file system with it";
    }
    EXPECT_NE(platform::RemoveTree(At(pkg)), 0);
    ToggleImmutable(pinned);
    EXPECT_EQ(TreeFingerprint(pkg), "LocalCache/\nLocalCache/a/\nLocalCache/a/c.bin = c\n");
    EXPECT_EQ(platform::RemoveTree(At(pkg)), 0);
    EXPECT_FALSE(fs::exists(fs::symlink_status(pkg)));
    EXPECT_NE(platform::RemoveTree(At(pkg)), 0);
    EXPECT_EQ(TreeFingerprint(outside), kOutside);
}

// Catches: a comparison that looks at sizes or the first block only, or passes over a
// mode, a file's or a folder's modification time, an extra or a missing name, an extended
// attribute, or a link that a copy leaves out.
TEST_F(TreeOpsTest, CompareTreesSeesEachDifferenceACopyWouldNotHave) {
    WriteText(src / "big.bin", std::string(600 << 10, 'b')); // past two blocks read
    const auto same = [&] {
        bool result = true;
        EXPECT_EQ(platform::CompareTrees(At(src), At(out), result), 0);
        return result;
    };
    const std::pair<const char*, std::function<bool()>> changes[] = {
        {"last byte",
         [&] {
             std::fstream(out / "big.bin", std::ios::in | std::ios::out).seekp(-1, std::ios::end)
                 << 'c';
             SetTime(out / "big.bin", src / "big.bin");
             return true;
         }},
        {"mode",
         [&] { return ::chmod((out / "roaming" / "deep" / "tool.sh").c_str(), 0755) == 0; }},
        {"file time", [&] { return SetTime(out / "settings.dat", src / "settings.dat", 1), true; }},
        {"folder time", [&] { return SetTime(out / "roaming", src / "roaming", 1), true; }},
        {"extra file",
         [&] {
             WriteText(out / "roaming" / "extra.txt", "");
             return SetTime(out / "roaming", src / "roaming"), true;
         }},
        {"missing file",
         [&] {
             fs::remove(out / "roaming" / "state.json");
             return SetTime(out / "roaming", src / "roaming"), true;
         }},
        {"attribute",
         [&] { // not where the file system has none
             return ::lsetxattr((out / "settings.dat").c_str(), "user.x", "1", 1, 0) == 0;
         }},
        {"link in both",
         [&] {
             for (const fs::path& top : {src, out}) {
                 fs::create_symlink("settings.dat", top / "link");
             }
             return SetTime(out, src), true;
         }},
    };
    for (const auto& [what, change] : changes) {
        ASSERT_EQ(Copy(), 0) << what;
        EXPECT_TRUE(same()) << what;
        if (change()) {
            EXPECT_FALSE(same()) << what;
        }
    }
}

// Catches: under the lock, a leftover kept because its process id looks alive (our own,
// after a reboot or on another machine); without the lock, a live run's work removed;
// FindLeftovers changing anything or naming what ClearLeftovers leaves (a file named like
// ours).
TEST_F(TreeOpsTest, UnderTheLockEveryStagingNameIsALeftover) {
    const std::string pid = std::to_string(::getpid());
    const std::string old = ".Settings.dittoly-" + pid + "-1.old";
    const std::string gone = ".Cache.dittoly-" + pid + "-0.gone";
    const std::string file = ".Notes.dittoly-1-0.new";
    WriteText(into / old / "old.txt", "the old copy");
    WriteText(into / gone / "half.txt", "half removed");
    WriteText(into / file, "an app's file");
    const std::string before = TreeFingerprint(into);
    platform::ClearLeftovers(At(into));
    const auto found = platform::FindLeftovers(At(into));
    EXPECT_EQ(std::set<std::string>(found.begin(), found.end()),
              (std::set<std::string>{old, gone}));
    EXPECT_EQ(TreeFingerprint(into), before);
    platform::ClearLeftovers(At(into), true);
    EXPECT_EQ(Names(into), (std::set<std::string>{"Settings", file}));
    EXPECT_EQ(ReadText(out / "old.txt"), "the old copy");

    const std::string stage = ".Settings.dittoly-" + pid + "-5.new";
    WriteText(into / stage / "half.txt", "half a copy");
    ASSERT_EQ(Copy(), 0);
    EXPECT_EQ(Names(into), (std::set<std::string>{"Settings", file, stage}));
    platform::CopyOptions locked;
    locked.exclusive = true;
    ASSERT_EQ(platform::CopyTree(At(src), At(into), locked), 0);
    EXPECT_EQ(Names(into), (std::set<std::string>{"Settings", file}));
    EXPECT_EQ(TreeFingerprint(out), TreeFingerprint(src));
}

// Catches: a second LockFile in the same process let in (a lock per process, not per open
// file), the holder's note not shown, a lock outliving a killed holder, `waitMs` ignored or
// waited out before a retry, a lock file that is a link or a pipe (or below a link) used.
TEST_F(TreeOpsTest, LocksKeepEveryoneElseOutOnlyWhileTheirHolderLives) {
    const platform::Below lockAt{tmp.path().string(), {"run.lock"}};
    std::string holder;
    platform::FileLock first;
    platform::FileLock second;
    ASSERT_EQ(platform::LockFile(lockAt, "first", 0, first, holder), 0);
    EXPECT_EQ(platform::LockFile(lockAt, "second", 0, second, holder), EWOULDBLOCK);
    EXPECT_EQ(holder, "first");
    EXPECT_FALSE(second.Held());
    first.Release();
    ASSERT_EQ(platform::LockFile(lockAt, "second", 0, second, holder), 0);
    second.Release();

    // A child takes it and says so through a pipe, then is killed, or lets go after 200 ms.
    const std::string here = platform::ThisProcess();
    for (const bool killed : {true, false}) {
        int ready[2];
        ASSERT_EQ(::pipe(ready), 0);
        const pid_t child = ::fork();
        if (child == 0) {
            platform::FileLock held;
            const char took =
                platform::LockFile(lockAt, platform::ThisProcess(), 0, held, holder) == 0 ? '1'
                                                                                          : '0';
            if (::write(ready[1], &took, 1) == 1 && killed) {
                ::pause();
            }
            ::usleep(200000);
            ::_exit(0);
        }
        char took = 0;
        ASSERT_EQ(::read(ready[0], &took, 1), 1);
        ::close(ready[0]);
        ::close(ready[1]);
        ASSERT_EQ(took, '1');
        const auto start = std::chrono::steady_clock::now();
        if (killed) {
            EXPECT_EQ(platform::LockFile(lockAt, "parent", 50, first, holder), EWOULDBLOCK);
            EXPECT_EQ(holder, "process " + std::to_string(child) + here.substr(here.find(" on ")));
            ::kill(child, SIGKILL);
            ::waitpid(child, nullptr, 0);
            EXPECT_EQ(platform::LockFile(lockAt, "parent", 0, first, holder), 0);
        } else {
            EXPECT_EQ(platform::LockFile(lockAt, "parent", 10000, first, holder), 0);
            EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
            ::waitpid(child, nullptr, 0);
        }
        first.Release();
    }

    fs::create_symlink(outside / "secret.txt", tmp.path() / "link.lock");
    fs::create_directory_symlink(outside, tmp.path() / "linked");
    ASSERT_EQ(::mkfifo((tmp.path() / "pipe.lock").c_str(), 0644), 0);
    for (const platform::Below& bad :
         {platform::Below{tmp.path(), {"link.lock"}}, platform::Below{tmp.path(), {"pipe.lock"}},
          platform::Below{tmp.path(), {"linked", "run.lock"}}}) {
        EXPECT_NE(platform::LockFile(bad, "x", 0, first, holder), 0) << bad.names[0];
        EXPECT_FALSE(first.Held());
    }
    EXPECT_EQ(TreeFingerprint(outside), kOutside);
}

} // namespace
