#include "Fixtures.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <functional>
#include <iterator>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace testsupport {

namespace {
std::atomic<int> counter{0};

void MakeWritable(const fs::path& root) {
    std::error_code ec;
    fs::permissions(root, fs::perms::owner_all, fs::perm_options::add, ec);
    for (auto it = fs::recursive_directory_iterator(
             root, fs::directory_options::skip_permission_denied, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (!it->is_symlink(ec)) {
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
        }
    }
}
} // namespace

void PinEnvironment() {
    // A zone away from UTC, and off the whole hour, so a local time written where UTC
    // belongs shows.
#ifdef _WIN32
    _putenv_s("TZ", "IST-5:30");
    _tzset();
#else
    ::setenv("TZ", "IST-5:30", 1);
    ::tzset();
    // One locale for the texts Qt formats.
    ::setenv("LC_ALL", "C.UTF-8", 1);
    // Modes of what the tests make, and whether another user (one a test runs as to lose
    // root's rights) may enter their folders, follow from the umask.
    ::umask(022);
#endif
}

TempDir::TempDir() {
    // The clock as well: under Wine process numbers repeat from one run to the next.
    path_ = fs::temp_directory_path() /
            ("dittoly-test-" + std::to_string(::getpid()) + "-" + std::to_string(counter++) + "-" +
             std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    // A test program that its test started again (the crash test's saver) works in its
    // parent's folder, and never returns to remove it.
    if (const char* parents = std::getenv("DITTOLY_TEST_DIR")) {
        path_ = parents;
    }
    fs::create_directories(path_);
}

TempDir::~TempDir() {
    // Twice: the first pass may open folders that were unreadable to the walk.
    MakeWritable(path_);
    MakeWritable(path_);
    std::error_code ec;
    fs::remove_all(path_, ec);
}

void WriteText(const fs::path& file, const std::string& content) {
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary | std::ios::trunc) << content;
}

std::string ReadText(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return in ? std::string(std::istreambuf_iterator<char>(in), {}) : "<missing>";
}

std::string TreeFingerprint(const fs::path& folder) {
    std::set<std::string> rows; // sorted, so the order of the walk does not matter
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(folder, ec))) {
        return "<missing>";
    }
    for (auto it = fs::recursive_directory_iterator(folder, ec);
         it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (ec) {
            rows.insert("<unreadable>");
            break;
        }
        const auto rel = it->path().lexically_relative(folder).generic_string();
        if (it->is_symlink()) {
            rows.insert(rel + " -> " + fs::read_symlink(it->path()).string());
        } else if (it->is_directory()) {
            rows.insert(rel + "/");
        } else {
            // A long file (a program beside its data) by its size and a hash: a failure's
            // diff of every line of it would take longer than the test.
            const std::string content = ReadText(it->path());
            rows.insert(rel + " = " +
                        (content.size() <= 4096
                             ? content
                             : "<" + std::to_string(content.size()) + " bytes, hash " +
                                   std::to_string(std::hash<std::string>{}(content)) + ">"));
        }
    }
    std::string all;
    for (const auto& row : rows) {
        all += row + "\n";
    }
    return all;
}

ProfileFixture::ProfileFixture(bool withPackagesRoot)
    : roots_{program().string(), profile().string()} {
    fs::create_directories(program());
    fs::create_directories(withPackagesRoot ? packages() : profile());
}

fs::path ProfileFixture::AddPackage(const std::string& name) {
    const fs::path pkg = packages() / name;
    WriteText(pkg / "Settings" / "settings.dat", "settings of " + name);
    WriteText(pkg / "Settings" / "roaming" / "state.json", "{\"app\":\"" + name + "\"}");
    WriteText(pkg / "LocalState" / "db.sqlite", "local state");
    WriteText(pkg / "LocalCache" / "cache.bin", "cache");
    WriteText(pkg / "LocalCache" / "thumbs" / "1.png", "png");
    fs::create_directories(pkg / "TempState");
    return pkg;
}

} // namespace testsupport
