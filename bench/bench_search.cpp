// How fast the package search is next to the system's own `find` on the same trees, in
// the same run, with a warm cache for both; and how much memory the search needs.
//
//   bench_search [FOLDER] [--keep] [--small]
//
// FOLDER holds the synthetic trees (default: a folder under the system's temporary
// folder). A tree that was built completely before (its marker file is present) is
// reused. --keep leaves the trees behind for the next run; --small runs tree (a) only.

#include "catalogue/modApps.h"
#include "platform/Platform.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;

struct TreeShape {
    const char* label;
    int packages;
    long files; // roughly; the builder reports the exact number
};

struct BuiltTree {
    long files = 0;
    long packagesWithFiles = 0; // what the search must find
};

// A small deterministic generator, so every run builds the same trees.
struct Rng {
    std::uint64_t state;
    std::uint64_t Next() {
        std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    int Below(int n) { return static_cast<int>(Next() % static_cast<std::uint64_t>(n)); }
};

class Builder {
public:
    long files = 0;

    void Folder(const fs::path& path) { fs::create_directories(path); }

    // Empty files are enough: the search never reads a byte, and neither does find.
    void Files(const fs::path& folder, int count, const char* stem) {
        Folder(folder);
        std::string path = folder.string() + "/";
        const std::size_t base = path.size();
        for (int i = 0; i < count; ++i) {
            path.resize(base);
            path += stem;
            path += std::to_string(i);
            const int fd = ::open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
            if (fd < 0) {
                std::perror(path.c_str());
                std::_Exit(1);
            }
            ::close(fd);
            ++files;
        }
    }
};

// One package folder as an app leaves it: Settings with a few files, LocalState, a
// LocalCache holding most of the files in nested folders, TempState, sometimes AC. The
// folders are made in a shuffled order, so the listing order differs between packages
// and the search does not always meet Settings first.
void BuildPackage(Builder& b, const fs::path& pkg, int cacheFiles, Rng& rng) {
    std::vector<int> order{0, 1, 2, 3, 4, 5};
    for (int i = 5; i > 0; --i) {
        std::swap(order[static_cast<std::size_t>(i)],
                  order[static_cast<std::size_t>(rng.Below(i + 1))]);
    }
    // Now and then a package has written nothing but its cache: the search must then go
    // a few levels down before it meets a file.
    const bool cacheOnly = rng.Below(16) == 0;
    for (const int part : order) {
        switch (part) {
        case 0:
            if (cacheOnly) {
                b.Folder(pkg / "Settings");
            } else {
                b.Files(pkg / "Settings", 2 + rng.Below(3), "settings");
            }
            break;
        case 1:
            b.Files(pkg / "LocalState", cacheOnly ? 0 : rng.Below(6), "state");
            b.Folder(pkg / "LocalState" / "Indexed");
            break;
        case 2: {
            b.Folder(pkg / "LocalCache" / "Roaming");
            const fs::path cache = pkg / "LocalCache" / "Local" / "Microsoft" / "Cache";
            int left = cacheFiles;
            for (int shard = 0; left > 0; ++shard) {
                const fs::path shardFolder = cache / ("shard" + std::to_string(shard));
                for (int data = 0; data < 8 && left > 0; ++data) {
                    const int here = std::min(left, 40 + rng.Below(40));
                    b.Files(shardFolder / ("data_" + std::to_string(data)), here, "entry");
                    left -= here;
                }
            }
            break;
        }
        case 3:
            b.Folder(pkg / "TempState");
            break;
        case 4:
            if (rng.Below(3) == 0) {
                b.Folder(pkg / "AC" / "INetCache");
                b.Folder(pkg / "AC" / "Temp");
            }
            break;
        default:
            b.Folder(pkg / "RoamingState");
            break;
        }
    }
}

bool IsHiddenOnly(int package) {
    return package % 53 == 7;
}
bool IsEmpty(int package) {
    return package % 61 == 11;
}

fs::path PackagesRootOf(const fs::path& treeFolder) {
    return treeFolder / "AppData" / "Local" / "Packages";
}

BuiltTree Build(const fs::path& treeFolder, const TreeShape& shape) {
    Builder b;
    Rng rng{static_cast<std::uint64_t>(shape.packages)};
    const fs::path root = PackagesRootOf(treeFolder);
    b.Folder(root);
    BuiltTree built;
    int withFiles = 0;
    for (int i = 0; i < shape.packages; ++i) {
        withFiles += IsHiddenOnly(i) || IsEmpty(i) ? 0 : 1;
    }
    const int perPackage = static_cast<int>(shape.files / withFiles);
    for (int i = 0; i < shape.packages; ++i) {
        const std::string name = "Vendor" + std::to_string(i % 37) + ".App" + std::to_string(i) +
                                 "_" + std::to_string(rng.Next() % 1000000007ull);
        const fs::path pkg = root / name;
        if (IsHiddenOnly(i)) {
            // Only hidden files, some of them deep: never listed, searched to the end.
            b.Files(pkg / ".config", 3, "x");
            b.Files(pkg / "LocalState" / ".lock", 1, "x");
            b.Files(pkg / "LocalCache" / ".tmp" / "a" / "b", perPackage, "x");
            b.Folder(pkg / "Settings");
        } else if (IsEmpty(i)) {
            b.Folder(pkg / "Settings");
            b.Folder(pkg / "LocalState");
            b.Folder(pkg / "TempState");
        } else {
            BuildPackage(b, pkg, perPackage - 6, rng);
            ++built.packagesWithFiles;
        }
    }
    built.files = b.files;
    return built;
}

// Builds the tree in a child process, so none of the builder's memory shows in the
// figures, unless a complete tree is already there.
bool EnsureTree(const fs::path& treeFolder, const TreeShape& shape, BuiltTree& built) {
    const fs::path marker = treeFolder / ".complete";
    if (std::ifstream in{marker}; in >> built.files >> built.packagesWithFiles) {
        return true;
    }
    std::error_code ec;
    fs::remove_all(treeFolder, ec);
    std::printf("(%s) building %d packages, about %ld files in %s ...\n", shape.label,
                shape.packages, shape.files, treeFolder.c_str());
    std::fflush(stdout);
    const pid_t child = ::fork();
    if (child == 0) {
        const BuiltTree made = Build(treeFolder, shape);
        std::ofstream out{marker};
        out << made.files << ' ' << made.packagesWithFiles << '\n';
        out.close(); // _Exit runs no destructors
        std::_Exit(out ? 0 : 1);
    }
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0) {
        return false;
    }
    std::ifstream in{marker};
    return static_cast<bool>(in >> built.files >> built.packagesWithFiles);
}

double Seconds(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

// `find ROOT -type f > /dev/null`, started directly (no shell) and timed to its end.
double TimeFind(const std::string& root) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    std::string arg0 = "find", arg2 = "-type", arg3 = "f";
    std::string arg1 = root;
    char* argv[] = {arg0.data(), arg1.data(), arg2.data(), arg3.data(), nullptr};
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    int status = -1;
    if (::posix_spawnp(&pid, "find", &actions, nullptr, argv, environ) == 0) {
        ::waitpid(pid, &status, 0);
    }
    const auto took = std::chrono::steady_clock::now() - start;
    posix_spawn_file_actions_destroy(&actions);
    if (status != 0) {
        std::fprintf(stderr, "find failed on %s\n", root.c_str());
    }
    return Seconds(took);
}

double TimeOurs(const std::string& root, std::size_t& found) {
    const auto start = std::chrono::steady_clock::now();
    found = modApps::FindPackages(root).size();
    return Seconds(std::chrono::steady_clock::now() - start);
}

long PeakKiB() {
    std::ifstream status{"/proc/self/status"};
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) {
            return std::stol(line.substr(6));
        }
    }
    return -1;
}

// One search in a fresh child: its peak resident size is the search's plus the
// program's own small start-up share, and nothing this process did before.
long SearchPeakKiB(const std::string& root, long& found) {
    int pipefd[2];
    if (::pipe(pipefd) != 0) {
        return -1;
    }
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(pipefd[0]);
        const long result[2] = {static_cast<long>(modApps::FindPackages(root).size()), PeakKiB()};
        const bool sent = ::write(pipefd[1], result, sizeof result) == sizeof result;
        std::_Exit(sent ? 0 : 1);
    }
    ::close(pipefd[1]);
    long result[2] = {-1, -1};
    if (child < 0 || ::read(pipefd[0], result, sizeof result) != sizeof result) {
        result[1] = -1;
    }
    ::close(pipefd[0]);
    if (child > 0) {
        ::waitpid(child, nullptr, 0);
    }
    found = result[0];
    return result[1];
}

// How often the file system lists a cache folder ahead of Settings. Creation order is
// shuffled per package, but some file systems list in name-hash order whatever the
// creation order, so this says which case the figures above were measured on.
int CacheBeforeSettings(const std::string& root, int& packages) {
    std::vector<std::string> names;
    platform::ListFolder(root, [&](std::string_view name, platform::EntryKind) {
        names.emplace_back(name);
        return true;
    });
    packages = static_cast<int>(names.size());
    int count = 0;
    for (const auto& name : names) {
        bool cacheSeen = false;
        bool cacheFirst = false;
        platform::ListFolder(root + "/" + name, [&](std::string_view entry, platform::EntryKind) {
            if (entry == "LocalCache" || entry == "AC") {
                cacheSeen = true;
            } else if (entry == "Settings") {
                cacheFirst = cacheSeen;
                return false;
            }
            return true;
        });
        count += cacheFirst ? 1 : 0;
    }
    return count;
}

double Median3(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[1];
}

bool Run(const fs::path& treeFolder, const TreeShape& shape, double memoryLimitMiB) {
    BuiltTree built;
    if (!EnsureTree(treeFolder, shape, built)) {
        std::fprintf(stderr, "(%s) could not build the tree in %s\n", shape.label,
                     treeFolder.c_str());
        return false;
    }
    const std::string root = PackagesRootOf(treeFolder).string();

    // Warm the cache for both, then alternate so neither profits from running last.
    std::size_t found = 0;
    TimeOurs(root, found);
    TimeFind(root);
    std::vector<double> ours, theirs;
    bool countsAgree = true;
    for (int run = 0; run < 3; ++run) {
        ours.push_back(TimeOurs(root, found));
        countsAgree = countsAgree && static_cast<long>(found) == built.packagesWithFiles;
        theirs.push_back(TimeFind(root));
    }
    long childFound = -1;
    const long peak = SearchPeakKiB(root, childFound);
    countsAgree = countsAgree && childFound == built.packagesWithFiles;

    const double o = Median3(ours);
    const double f = Median3(theirs);
    const double ratio = o / f;
    const double peakMiB = static_cast<double>(peak) / 1024.0;
    std::printf("(%s) %d packages, %ld files: ours %.4f s, find %.3f s, ratio %.3f (target <= "
                "0.10%s); peak memory %.1f MiB",
                shape.label, shape.packages, built.files, o, f, ratio,
                ratio <= 0.10 ? ", ok" : ", MISSED", peakMiB);
    if (memoryLimitMiB > 0) {
        std::printf(" (target < %.0f MiB%s)", memoryLimitMiB,
                    peak >= 0 && peakMiB < memoryLimitMiB ? ", ok" : ", MISSED");
    }
    int listed = 0;
    const int cacheFirst = CacheBeforeSettings(root, listed);
    std::printf("\n    packages found %zu, expected %ld: %s; a cache folder lists before Settings "
                "in %d of %d package folders\n",
                found, built.packagesWithFiles, countsAgree ? "ok" : "WRONG", cacheFirst, listed);
    std::fflush(stdout);
    return countsAgree;
}

} // namespace

int main(int argc, char** argv) {
    fs::path base = fs::temp_directory_path() / "dittoly-bench-search";
    bool keep = false;
    bool small = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--keep") == 0) {
            keep = true;
        } else if (std::strcmp(argv[i], "--small") == 0) {
            small = true;
        } else {
            base = argv[i];
        }
    }
    const bool baseExisted = fs::exists(base);

    const TreeShape shapes[] = {{"a", 300, 100000}, {"b", 2000, 1000000}};
    bool allRight = Run(base / "a", shapes[0], 0);
    if (!small) {
        allRight = Run(base / "b", shapes[1], 100) && allRight;
    }

    if (!keep) {
        std::error_code ec;
        fs::remove_all(base / "a", ec);
        fs::remove_all(base / "b", ec);
        if (!baseExisted) {
            fs::remove(base, ec);
        }
    }
    return allRight ? 0 : 1;
}
