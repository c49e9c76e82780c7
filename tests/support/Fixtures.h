#pragma once
// Temporary folders on the real file system: a profile with realistic package folders
// and a program folder, both removed again when the fixture goes.

#include "common/modGlobal.h"

#include <filesystem>
#include <string>

namespace testsupport {

namespace fs = std::filesystem;

// Sets what the tests rely on, whatever the machine or the caller set: the time zone, the
// locale and the umask. The first thing every test program does; the programs a test
// starts inherit it.
void PinEnvironment();

// A fresh folder under the system's temporary folder, removed with everything in it
// (permissions restored first, so tests may leave unreadable folders behind).
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

// Writes `content` to `file`, creating the parent folders.
void WriteText(const fs::path& file, const std::string& content);
// The whole file, or "<missing>" when it cannot be read.
std::string ReadText(const fs::path& file);
// Every entry below `folder` as "relative/path" (folders with a trailing "/") and file
// contents (a file over 4 KiB by its size and a hash), one per line, sorted: a cheap
// fingerprint to show a tree did not change.
std::string TreeFingerprint(const fs::path& folder);

// A temporary profile with <profile>/AppData/Local/Packages and a program folder beside
// it. Roots point at both.
class ProfileFixture {
public:
    explicit ProfileFixture(bool withPackagesRoot = true);
    const TempDir& base() const { return base_; }
    fs::path profile() const { return base_.path() / "profile"; }
    fs::path program() const { return base_.path() / "program"; }
    fs::path packages() const { return profile() / "AppData" / "Local" / "Packages"; }
    const modGlobal::Roots& roots() const { return roots_; }

    // A package folder as the system makes one: Settings (settings.dat, a nested
    // folder), LocalState, LocalCache (files and a sub-folder), TempState.
    fs::path AddPackage(const std::string& name);

private:
    TempDir base_;
    modGlobal::Roots roots_;
};

} // namespace testsupport
