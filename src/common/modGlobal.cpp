#include "common/modGlobal.h"

#include "common/CaseCompare.h"
#include "common/Services.h"
#include "platform/Platform.h"

#include <algorithm>

namespace modGlobal {

using platform::kSepStr;

std::string GetSpecialFolder(int csidl) {
    if (csidl != CSIDL_PROFILE) {
        return {};
    }
    std::string folder = platform::ProfileFolder();
    // Exactly one trailing separator goes, as the profile root "/" would otherwise
    // double every separator after it.
    if (!folder.empty() && folder.back() == platform::kSep) {
        folder.pop_back();
    }
    return folder;
}

void CreateFolder(const std::string& path) {
    platform::CreateFolderChain(path);
}

bool FolderExists(const std::string& path) {
    return platform::IsFolder(path);
}

bool FileExists(const std::string& path) {
    return platform::IsFile(path);
}

void RemoveDuplicateEntries(std::vector<std::string>& list) {
    // Equal-ignoring-case entries need not be neighbours in general, so keep the first
    // of each group by looking the entry up among those already kept. The kept list is
    // sorted on the side for the lookup; the order of `list` itself is not touched.
    std::vector<std::string> seen;
    seen.reserve(list.size());
    std::vector<std::string> kept;
    kept.reserve(list.size());
    for (auto& entry : list) {
        auto at = std::lower_bound(seen.begin(), seen.end(), entry, modGlobal::LessIgnoringCase);
        if (at != seen.end() && modGlobal::EqualIgnoringCase(*at, entry)) {
            continue;
        }
        seen.insert(at, entry);
        kept.push_back(std::move(entry));
    }
    list = std::move(kept);
}

std::string StopMessage() {
    return std::string("Windows Store apps data packages could not been detected.\r\n"
                       "This version of Dittoly supports ONLY Universal apps which were "
                       "introduced in Windows 10.\r\n"
                       "\r\n"
                       "To backup legacy Windows programs, please download Dittoly for Windows "
                       "from ") +
           services::kWebsiteHost + "/download";
}

std::string CrLfLines(const std::vector<std::string>& lines) {
    std::size_t size = 0;
    for (const auto& line : lines) {
        size += line.size() + 2;
    }
    std::string content;
    content.reserve(size);
    for (const auto& line : lines) {
        content += line;
        content += "\r\n";
    }
    return content;
}

Roots Roots::FromSystem() {
    return Roots{platform::ProgramFolder(), GetSpecialFolder(CSIDL_PROFILE)};
}

std::string Roots::PackagesRoot() const {
    return profileFolder + kSepStr + "AppData" + kSepStr + "Local" + kSepStr + "Packages";
}
std::string Roots::PackageFolder(const std::string& package) const {
    return PackagesRoot() + kSepStr + package;
}
std::string Roots::DataDirNoSep() const {
    return programFolder + kSepStr + "Data";
}
std::string Roots::DataDir() const {
    return DataDirNoSep() + kSepStr;
}
std::string Roots::SettingsFile() const {
    return DataDir() + "dittoly.ini";
}
std::string Roots::AppListFile() const {
    return DataDir() + "uapps.dat";
}
std::string Roots::IconFile() const {
    return DataDir() + "dittoly.ico";
}
std::string Roots::BackupDir() const {
    return programFolder + kSepStr + "Backup" + kSepStr;
}
std::string Roots::LogFile() const {
    return BackupDir() + "Dittoly UA.txt";
}

} // namespace modGlobal
