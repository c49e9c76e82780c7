#include "BenchTools.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace bench {

namespace {

std::string scratch;

void RemoveScratch() {
    if (scratch.empty()) {
        return;
    }
    const std::string folder = std::move(scratch);
    scratch.clear();
    const char* args[] = {"rm", "-rf", folder.c_str(), nullptr};
    pid_t pid = 0;
    int status = 0;
    if (::posix_spawnp(&pid, "rm", nullptr, nullptr, const_cast<char**>(args), environ) == 0) {
        ::waitpid(pid, &status, 0);
    }
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double Seconds(const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

double ChildrenCpu() {
    rusage usage{};
    ::getrusage(RUSAGE_CHILDREN, &usage);
    return Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
}

// 8 MiB of bytes that do not compress; a file's bytes start somewhere in it and wrap.
const std::vector<char>& Noise() {
    static const std::vector<char> noise = [] {
        std::vector<std::uint64_t> words(1 << 20);
        std::uint64_t x = 0x9E3779B97F4A7C15ull;
        for (auto& word : words) {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            word = x;
        }
        std::vector<char> bytes(words.size() * sizeof(std::uint64_t));
        std::memcpy(bytes.data(), words.data(), bytes.size());
        return bytes;
    }();
    return noise;
}

std::uint64_t Mix(std::uint64_t x) {
    x ^= x >> 33;
    x *= 0xFF51AFD7ED558CCDull;
    x ^= x >> 33;
    x *= 0xC4CEB9FE1A85EC53ull;
    return x ^ (x >> 33);
}

// 12 areas of 5 folders of 50 files: 3,000 files. One in 300 is large (8 to 16 MiB), one
// in 5 of the rest medium (32 to 464 KiB), the others small (200 bytes to 32 KiB): about
// 300 MiB in all.
constexpr int kAreas = 12;
constexpr int kParts = 5;
constexpr int kFilesPerPart = 50;

std::size_t SizeOf(std::size_t index) {
    const std::uint64_t h = Mix(index + 1);
    if (index % 300 == 150) {
        return (8 << 20) + h % (8 << 20);
    }
    if (index % 5 == 0) {
        return (32 << 10) + h % (432 << 10);
    }
    return 200 + h % (32 << 10);
}

// An interrupted benchmark removes its folder too. Only fork, exec, wait and _exit here,
// which a signal handler may call.
char scratchPath[4096];
volatile std::sig_atomic_t running = 0; // the child being waited for, which goes first

void OnSignal(int signal) {
    int status = 0;
    if (running > 0 && ::kill(running, SIGKILL) == 0) {
        ::waitpid(running, &status, 0);
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        char* const args[] = {const_cast<char*>("rm"), const_cast<char*>("-rf"), scratchPath,
                              nullptr};
        ::execvp("rm", args);
        ::_exit(127);
    }
    while (pid > 0 && ::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    ::_exit(128 + signal);
}

} // namespace

void SetScratch(const std::string& folder) {
    scratch = folder;
    std::snprintf(scratchPath, sizeof scratchPath, "%s", folder.c_str());
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
}

void Die(const std::string& what) {
    std::fprintf(stderr, "bench_fileops: %s: %s\n", what.c_str(), std::strerror(errno));
    RemoveScratch();
    std::exit(1);
}

void MakeDir(const std::string& path) {
    if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) {
        Die("cannot create folder " + path);
    }
}

std::string ReadText(const std::string& path) {
    std::string text;
    if (FILE* f = std::fopen(path.c_str(), "rb")) {
        char chunk[4096];
        for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, f)) > 0;) {
            text.append(chunk, n);
        }
        std::fclose(f);
    }
    return text;
}

void Run(const std::vector<std::string>& args, const std::string& output, const std::string& home) {
    std::vector<char*> argv;
    for (const auto& a : args) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        if (home.empty() || std::strncmp(*e, "HOME=", 5) != 0) {
            env.emplace_back(*e);
        }
    }
    if (!home.empty()) {
        env.push_back("HOME=" + home);
    }
    std::vector<char*> envp;
    for (auto& e : env) {
        envp.push_back(e.data());
    }
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!output.empty()) {
        // No terminal to draw progress on, as for a scheduled run: the same for every run.
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
    }
    pid_t pid = 0;
    const int spawned = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        errno = spawned;
        Die("cannot start " + args[0]);
    }
    running = pid;
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            Die("waitpid");
        }
    }
    running = 0;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "bench_fileops: %s failed\n%s", args[0].c_str(),
                     output.empty() ? "" : ReadText(output).c_str());
        errno = 0;
        Die(args[0] + " " + (args.size() > 1 ? args[1] : std::string()));
    }
}

Cost Measure(const std::function<void()>& work) {
    ::sync();
    const double cpu = ChildrenCpu();
    const auto start = std::chrono::steady_clock::now();
    work();
    const auto end = std::chrono::steady_clock::now();
    return {std::chrono::duration<double>(end - start).count(), ChildrenCpu() - cpu};
}

void Pair(int run, const std::function<void()>& ours, const std::function<void()>& theirs) {
    if (run % 2 == 0) {
        ours();
        theirs();
    } else {
        theirs();
        ours();
    }
}

void Report(const std::string& what, const std::string& tool, const std::vector<Cost>& ours,
            const std::vector<Cost>& theirs, double target) {
    std::vector<double> wall[2];
    std::vector<double> cpu[2];
    for (const Cost& c : ours) {
        wall[0].push_back(c.wall);
        cpu[0].push_back(c.cpu);
    }
    for (const Cost& c : theirs) {
        wall[1].push_back(c.wall);
        cpu[1].push_back(c.cpu);
    }
    const double w[2] = {Median(wall[0]), Median(wall[1])};
    const double c[2] = {Median(cpu[0]), Median(cpu[1])};
    std::printf("%s: ours %.3f s (cpu %.3f s), %s %.3f s (cpu %.3f s); ratio wall %.2f, cpu "
                "%.2f (target <= %.2f)\n",
                what.c_str(), w[0], c[0], tool.c_str(), w[1], c[1], w[0] / w[1],
                c[1] > 0 ? c[0] / c[1] : 0.0, target);
    for (const auto* kind : {"wall", "cpu"}) {
        const auto& v = kind[0] == 'w' ? wall : cpu;
        std::printf("    runs %s: ours", kind);
        for (const double t : v[0]) {
            std::printf(" %.3f", t);
        }
        std::printf(", %s", tool.c_str());
        for (const double t : v[1]) {
            std::printf(" %.3f", t);
        }
        std::printf("\n");
    }
    std::fflush(stdout);
}

void WaitNextSecond() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    // A little past the turn: a file system stamps with a clock that may lag a tick.
    const long wait = 1'000'000'000L - now.tv_nsec + 20'000'000L;
    std::this_thread::sleep_for(std::chrono::nanoseconds(wait));
}

void Tree::Build(const std::string& root) {
    MakeDir(root);
    for (int a = 0; a < kAreas; ++a) {
        const std::string area = root + "/area" + std::to_string(a);
        MakeDir(area);
        ++folders_;
        for (int p = 0; p < kParts; ++p) {
            const std::string part = area + "/part" + std::to_string(p);
            MakeDir(part);
            ++folders_;
            for (int f = 0; f < kFilesPerPart; ++f) {
                paths_.push_back(part + "/file" + std::to_string(f) + ".dat");
                sizes_.push_back(SizeOf(paths_.size() - 1));
                Write(paths_.size() - 1);
            }
        }
    }
}

std::uint64_t Tree::Bytes() const {
    std::uint64_t total = 0;
    for (const std::size_t size : sizes_) {
        total += size;
    }
    return total;
}

std::uint64_t Tree::Largest() const {
    return *std::max_element(sizes_.begin(), sizes_.end());
}

void Tree::Write(std::size_t index) {
    const std::vector<char>& noise = Noise();
    const int fd = ::open(paths_[index].c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        Die("cannot create " + paths_[index]);
    }
    std::size_t at = Mix(++writes_) % noise.size();
    for (std::size_t left = sizes_[index]; left > 0;) {
        const std::size_t piece = std::min(left, noise.size() - at);
        const ssize_t n = ::write(fd, noise.data() + at, piece);
        if (n <= 0) {
            Die("cannot write " + paths_[index]);
        }
        left -= static_cast<std::size_t>(n);
        at = (at + static_cast<std::size_t>(n)) % noise.size();
    }
    ::close(fd);
}

std::uint64_t Tree::Change(std::size_t count) {
    std::vector<std::size_t> picked;
    while (picked.size() < count) {
        pick_ = Mix(pick_);
        const std::size_t index = pick_ % paths_.size();
        if (std::find(picked.begin(), picked.end(), index) == picked.end()) {
            picked.push_back(index);
        }
    }
    std::uint64_t bytes = 0;
    for (const std::size_t index : picked) {
        Write(index);
        bytes += sizes_[index];
    }
    return bytes;
}

void Tree::TouchAll() const {
    const timespec times[2] = {{0, UTIME_OMIT}, {0, UTIME_NOW}};
    for (const std::string& path : paths_) {
        if (::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0) {
            Die("cannot touch " + path);
        }
    }
}

} // namespace bench
