#pragma once
// Paths shared by the whole program and the file-system helpers every part uses.

#include <string>
#include <vector>

namespace modGlobal {

inline constexpr int CSIDL_PROFILE = 0x0028;

// The folder for `csidl` without a trailing separator, or empty. Only CSIDL_PROFILE
// is known; any other identifier gives the empty text.
std::string GetSpecialFolder(int csidl);

// Creates the folder and all missing parents; a trailing separator names the same
// folder. Reports nothing.
void CreateFolder(const std::string& path);

// False instead of an error for missing, malformed or unreadable paths.
bool FolderExists(const std::string& path);
bool FileExists(const std::string& path);

// Removes, in place, every entry that equals an earlier one ignoring case; the rest keep
// their order.
void RemoveDuplicateEntries(std::vector<std::string>& list);

// The stop message when the app-data packages folder is missing: the program cannot do
// anything for this user.
std::string StopMessage();
inline constexpr char kStopTitle[] = "Windows Version not supported";

// Every line followed by CR LF: the whole content of the log and the app-list file.
std::string CrLfLines(const std::vector<std::string>& lines);

// The two roots every shared path hangs from. Handed in at start and never looked up
// again behind the caller's back, so tests run on temporary folders.
struct Roots {
    std::string programFolder; // without trailing separator
    std::string profileFolder; // without trailing separator (may be empty)

    // The roots of this machine: the program file's folder and the user's profile.
    static Roots FromSystem();

    // Built by plain concatenation; the trailing separators are part of the names.
    std::string PackagesRoot() const; // profile + /AppData/Local/Packages
    std::string PackageFolder(const std::string& package) const; // PackagesRoot + / + name
    std::string DataDir() const;                                 // program + /Data/
    std::string DataDirNoSep() const;                            // program + /Data
    std::string SettingsFile() const;                            // program + /Data/dittoly.ini
    std::string AppListFile() const;                             // program + /Data/uapps.dat
    std::string IconFile() const;                                // program + /Data/dittoly.ico
    std::string BackupDir() const;                               // program + /Backup/
    std::string LogFile() const;                                 // program + /Backup/Dittoly UA.txt
};

} // namespace modGlobal
