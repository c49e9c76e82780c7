#include "operations/History.h"

#include "operations/StatusText.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>

namespace operations::history {

namespace {

using platform::kSepStr;
using platform::PathState;

constexpr std::string_view kBeforeRestore = "-before-restore";

std::string HistoryPath(const modGlobal::Roots& roots, const std::string& package) {
    return roots.BackupDir() + package + kSepStr + "History";
}

// Beside Backup/<package>/Settings, never inside it.
std::string TimeFile(const modGlobal::Roots& roots, const std::string& package) {
    return roots.BackupDir() + package + kSepStr + "Settings.time";
}

platform::Below LatestFolder(const modGlobal::Roots& roots, const std::string& package) {
    return {roots.BackupDir(), {package, "Settings"}};
}

struct Civil {
    int year;
    unsigned month, day;
    long hour, minute, second;
};

Civil CivilOf(std::int64_t utc) {
    using namespace std::chrono;
    const sys_seconds at{seconds{utc}};
    const auto day = floor<days>(at);
    const year_month_day date{day};
    const hh_mm_ss time{at - day};
    return {static_cast<int>(date.year()),
            static_cast<unsigned>(date.month()),
            static_cast<unsigned>(date.day()),
            static_cast<long>(time.hours().count()),
            static_cast<long>(time.minutes().count()),
            static_cast<long>(time.seconds().count())};
}

std::string Format(std::int64_t utc, const char* pattern) {
    const Civil c = CivilOf(utc);
    char text[40];
    std::snprintf(text, sizeof text, pattern, c.year, c.month, c.day, c.hour, c.minute, c.second);
    return text;
}

// The number of `width` digits at `at` in `text`, or -1.
int Digits(std::string_view text, std::size_t at, std::size_t width) {
    int value = 0;
    const char* first = text.data() + at;
    const auto [end, error] = std::from_chars(first, first + width, value);
    return error == std::errc() && end == first + width ? value : -1;
}

} // namespace

std::string Stamp(std::int64_t utc) {
    return Format(utc, "%04d-%02u-%02uT%02ld%02ld%02ldZ");
}

std::string IsoTime(std::int64_t utc) {
    return Format(utc, "%04d-%02u-%02uT%02ld:%02ld:%02ldZ");
}

std::optional<Entry> ParseId(std::string_view id) {
    // "YYYY-MM-DDTHHMMSSZ", then "-before-restore", then "-<n>", each where present.
    if (id.size() < 18 || id[4] != '-' || id[7] != '-' || id[10] != 'T' || id[17] != 'Z') {
        return std::nullopt;
    }
    const int year = Digits(id, 0, 4);
    const int month = Digits(id, 5, 2);
    const int day = Digits(id, 8, 2);
    const int hour = Digits(id, 11, 2);
    const int minute = Digits(id, 13, 2);
    const int second = Digits(id, 15, 2);
    using namespace std::chrono;
    const year_month_day date{std::chrono::year(year), std::chrono::month(month),
                              std::chrono::day(day)};
    if (year < 0 || month < 0 || day < 0 || !date.ok() || hour < 0 || hour > 23 || minute < 0 ||
        minute > 59 || second < 0 || second > 59) {
        return std::nullopt;
    }
    Entry entry;
    entry.id = std::string(id);
    entry.time =
        sys_days(date).time_since_epoch() / seconds(1) + hour * 3600 + minute * 60 + second;
    std::string_view rest = id.substr(18);
    if (rest.starts_with(kBeforeRestore)) {
        entry.kind = Kind::BeforeRestore;
        rest.remove_prefix(kBeforeRestore.size());
    }
    if (!rest.empty()) {
        unsigned n = 0;
        const auto [end, error] = std::from_chars(rest.data() + 1, rest.data() + rest.size(), n);
        if (rest[0] != '-' || error != std::errc() || end != rest.data() + rest.size() || n < 2) {
            return std::nullopt;
        }
    }
    return entry;
}

std::vector<Entry> List(const modGlobal::Roots& roots, const std::string& package) {
    std::vector<Entry> entries;
    if (!IsPlainFolderName(package)) {
        return entries;
    }
    const std::string folder = HistoryPath(roots, package);
    platform::ListFolder(folder, [&](std::string_view name, platform::EntryKind kind) {
        auto entry = ParseId(name);
        if (kind == platform::EntryKind::Folder && entry &&
            platform::StateOf(folder + kSepStr + entry->id + kSepStr + "Settings") ==
                PathState::Folder) {
            entries.push_back(std::move(*entry));
        }
        return true;
    });
    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
        return a.time != b.time ? a.time > b.time : a.id > b.id;
    });
    return entries;
}

platform::Below EntryFolder(const modGlobal::Roots& roots, const std::string& package,
                            const std::string& id) {
    return {roots.BackupDir(), {package, "History", id}};
}

std::string NewId(const modGlobal::Roots& roots, const std::string& package, std::int64_t utc,
                  Kind kind) {
    const std::string base =
        Stamp(utc) + (kind == Kind::BeforeRestore ? std::string(kBeforeRestore) : "");
    std::string id = base;
    for (int n = 2;
         platform::StateOf(HistoryPath(roots, package) + kSepStr + id) != PathState::Missing; ++n) {
        id = base + "-" + std::to_string(n);
    }
    return id;
}

std::optional<std::int64_t> LatestTime(const modGlobal::Roots& roots, const std::string& package) {
    const auto facts = platform::InspectFolder(LatestFolder(roots, package));
    if (!facts) {
        return std::nullopt;
    }
    // "<stamp> <identity of the folder it belongs to>"; a hand-edited or stale one is no record.
    if (const auto record = platform::ReadWholeFile(TimeFile(roots, package))) {
        const std::size_t blank = record->find(' ');
        const std::size_t end = record->find_first_of("\r\n");
        const auto entry = ParseId(std::string_view(*record).substr(0, blank));
        if (blank != std::string::npos && entry && !facts->identity.empty() &&
            record->substr(blank + 1, end - blank - 1) == facts->identity) {
            return entry->time;
        }
    }
    return facts->modified;
}

bool RecordLatest(const modGlobal::Roots& roots, const std::string& package, std::int64_t utc) {
    const auto facts = platform::InspectFolder(LatestFolder(roots, package));
    return facts && !facts->identity.empty() &&
           platform::ReplaceFile(TimeFile(roots, package),
                                 Stamp(utc) + " " + facts->identity + "\r\n");
}

void Tidy(const modGlobal::Roots& roots, const std::string& package) {
    const std::string folder = HistoryPath(roots, package);
    if (!IsPlainFolderName(package) || platform::StateOf(folder) != PathState::Folder) {
        return;
    }
    platform::ClearLeftovers({roots.BackupDir(), {package, "History"}});
    // An entry a killed run made but never filled: what that run left inside is finished or
    // goes, then the entry goes if it is still empty (a run at work keeps its part in it).
    std::vector<std::string> unfilled;
    platform::ListFolder(folder, [&](std::string_view name, platform::EntryKind kind) {
        const std::string entry(name);
        if (kind == platform::EntryKind::Folder && ParseId(entry) &&
            platform::StateOf(folder + kSepStr + entry + kSepStr + "Settings") ==
                PathState::Missing) {
            unfilled.push_back(entry);
        }
        return true;
    });
    for (const std::string& id : unfilled) {
        platform::ClearLeftovers(EntryFolder(roots, package, id));
        bool empty = true;
        platform::ListFolder(folder + kSepStr + id,
                             [&](std::string_view, platform::EntryKind) { return empty = false; });
        if (empty) {
            platform::DiscardTree(EntryFolder(roots, package, id));
        }
    }
}

void Prune(const modGlobal::Roots& roots, const std::string& package, int keep) {
    const auto entries = List(roots, package);
    for (std::size_t i = static_cast<std::size_t>(std::max(keep, 0)); i < entries.size(); ++i) {
        platform::DiscardTree(EntryFolder(roots, package, entries[i].id));
    }
}

} // namespace operations::history
