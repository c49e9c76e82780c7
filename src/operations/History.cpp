#include "operations/History.h"

#include "operations/StatusText.h"

#include <charconv>
#include <chrono>
#include <cstdio>
#include <map>
#include <set>

namespace operations::history {

namespace {

using platform::kSepStr;
using platform::PathState;

constexpr std::string_view kBeforeRestore = "-before-restore";
constexpr std::string_view kUndated = "-undated";
constexpr char kTimeName[] = "Settings.time";
constexpr char kNextName[] = "Settings.time.next";
constexpr char kLockName[] = "Settings.lock";

std::string AppFolder(const modGlobal::Roots& roots, const std::string& package) {
    return roots.BackupDir() + package;
}

std::string HistoryPath(const modGlobal::Roots& roots, const std::string& package) {
    return AppFolder(roots, package) + kSepStr + "History";
}

// Beside Backup/<package>/Settings, never inside it, so a Restore never copies them.
platform::Below BesideLatest(const modGlobal::Roots& roots, const std::string& package,
                             const char* name) {
    return {roots.BackupDir(), {package, name}};
}

std::string PathBesideLatest(const modGlobal::Roots& roots, const std::string& package,
                             const char* name) {
    return platform::PathOf(BesideLatest(roots, package, name));
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

std::string_view KindSuffix(Kind kind) {
    return kind == Kind::BeforeRestore ? kBeforeRestore
           : kind == Kind::Undated     ? kUndated
                                       : std::string_view();
}

// The day, the week (Monday to Sunday) and the month of a UTC time, each as a number that
// grows with time.
std::int64_t DayOf(std::int64_t utc) {
    using namespace std::chrono;
    return floor<days>(sys_seconds{seconds{utc}}).time_since_epoch().count();
}
std::int64_t WeekOf(std::int64_t utc) {
    // 1970-01-01 was a Thursday: three days on, the weeks begin on Mondays.
    const std::int64_t day = DayOf(utc) + 3;
    return day >= 0 ? day / 7 : (day - 6) / 7;
}
std::int64_t MonthOf(std::int64_t utc) {
    const Civil c = CivilOf(utc);
    return std::int64_t{c.year} * 12 + c.month;
}

// The record beside the latest backup: "<stamp>" (or, as older versions wrote it, "<stamp>
// <identity of the folder it belongs to>"), and of one begun, "<stamp> <replaced id or ->".
// A second line "read <seconds>.<nanoseconds>" says when the copy began to read; versions
// that wrote no such line read only the first.
struct Record {
    std::int64_t time = 0;
    std::string rest;
    std::optional<platform::FileTime> readSince;
};

constexpr std::string_view kReadWord = "read ";

std::string ReadLine(const platform::FileTime& at) {
    char nanos[16];
    std::snprintf(nanos, sizeof nanos, "%09d", static_cast<int>(at.nsec));
    return std::string(kReadWord) + std::to_string(at.sec) + "." + nanos + "\r\n";
}

// "<seconds>.<nine digits>", nothing else; anything else is no moment at all, so that a
// damaged record costs a reading of the files, never a link taken on a wrong time.
std::optional<platform::FileTime> ParseRead(std::string_view text) {
    const std::size_t dot = text.find('.');
    platform::FileTime at;
    const char* end = text.data() + text.size();
    if (dot == std::string_view::npos || dot == 0 || text.size() != dot + 10 ||
        text.front() == '-' || text[dot + 1] == '-') {
        return std::nullopt;
    }
    const auto sec = std::from_chars(text.data(), text.data() + dot, at.sec);
    const auto nsec = std::from_chars(text.data() + dot + 1, end, at.nsec);
    if (sec.ec != std::errc() || sec.ptr != text.data() + dot || nsec.ec != std::errc() ||
        nsec.ptr != end) {
        return std::nullopt;
    }
    return at;
}

std::optional<Record> ReadRecord(const modGlobal::Roots& roots, const std::string& package,
                                 const char* name) {
    const auto text = platform::ReadWholeFile(PathBesideLatest(roots, package, name));
    if (!text) {
        return std::nullopt;
    }
    const std::string line = text->substr(0, text->find_first_of("\r\n"));
    const std::size_t blank = line.find(' ');
    const auto stamp = ParseId(std::string_view(line).substr(0, blank));
    if (!stamp || stamp->kind != Kind::Backup || stamp->n != 1) {
        return std::nullopt;
    }
    Record record{stamp->time, blank == std::string::npos ? "" : line.substr(blank + 1), {}};
    const std::size_t second = text->find('\n');
    if (second != std::string::npos &&
        text->compare(second + 1, kReadWord.size(), kReadWord) == 0) {
        const std::string rest = text->substr(second + 1 + kReadWord.size());
        record.readSince = ParseRead(std::string_view(rest).substr(0, rest.find_first_of("\r\n")));
    }
    return record;
}

bool IsFolder(const platform::Below& at) {
    return platform::StateOf(platform::PathOf(at)) == PathState::Folder;
}

// A record a killed run left begun becomes the current one if its copy did take its place
// (the backup it replaced is in History, or there was none and there is one now), else it
// goes. Runs once Tidy has finished what the killed run's swap left.
void SettleRecord(const modGlobal::Roots& roots, const std::string& package) {
    if (platform::StateOf(PathBesideLatest(roots, package, kNextName)) == PathState::Missing) {
        return;
    }
    const auto begun = ReadRecord(roots, package, kNextName);
    const bool placed =
        begun &&
        (begun->rest == "-"
             ? IsFolder(BesideLatest(roots, package, "Settings"))
             : ParseId(begun->rest) &&
                   IsFolder({roots.BackupDir(), {package, "History", begun->rest, "Settings"}}));
    EndRecord(roots, package, placed);
}

} // namespace

bool Newer(const Entry& a, const Entry& b) {
    if (a.time != b.time) {
        return a.time > b.time;
    }
    return a.n != b.n ? a.n > b.n : a.id > b.id;
}

std::string Stamp(std::int64_t utc) {
    return Format(utc, "%04d-%02u-%02uT%02ld%02ld%02ldZ");
}

std::string IsoTime(std::int64_t utc) {
    return Format(utc, "%04d-%02u-%02uT%02ld:%02ld:%02ldZ");
}

std::optional<Entry> ParseId(std::string_view id) {
    // "YYYY-MM-DDTHHMMSSZ", then "-before-restore" or "-undated", then "-<n>", each where
    // present.
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
    for (const Kind kind : {Kind::BeforeRestore, Kind::Undated}) {
        if (rest.starts_with(KindSuffix(kind))) {
            entry.kind = kind;
            rest.remove_prefix(KindSuffix(kind).size());
        }
    }
    if (!rest.empty()) {
        // One spelling per number: no sign, no leading zero.
        const auto [end, error] =
            std::from_chars(rest.data() + 1, rest.data() + rest.size(), entry.n);
        if (rest[0] != '-' || rest.size() < 2 || rest[1] == '0' || error != std::errc() ||
            end != rest.data() + rest.size() || entry.n < 2) {
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
    std::sort(entries.begin(), entries.end(), Newer);
    return entries;
}

std::vector<std::string> Expired(const std::vector<Entry>& entries, const Policy& policy,
                                 std::int64_t now, const std::vector<std::string>& protect) {
    std::vector<Entry> backups;
    std::vector<Entry> restores;
    for (const Entry& entry : entries) {
        if (entry.kind != Kind::Undated && entry.time <= now) {
            (entry.kind == Kind::Backup ? backups : restores).push_back(entry);
        }
    }
    std::sort(backups.begin(), backups.end(), Newer);
    std::sort(restores.begin(), restores.end(), Newer);
    std::set<std::string> kept(protect.begin(), protect.end());
    const auto newest = [&](const std::vector<Entry>& list, int count) {
        for (std::size_t i = 0; i < list.size() && static_cast<int>(i) < count; ++i) {
            kept.insert(list[i].id);
        }
    };
    newest(backups, policy.last);
    newest(restores, policy.beforeRestore);
    // Each rule walks the backups newest first and keeps the first of every day, week or
    // month it meets, until it has kept its count.
    const auto eachPeriod = [&](int count, std::int64_t (*period)(std::int64_t)) {
        std::optional<std::int64_t> last;
        for (const Entry& entry : backups) {
            if (count <= 0) {
                break;
            }
            if (period(entry.time) != last) {
                last = period(entry.time);
                kept.insert(entry.id);
                --count;
            }
        }
    };
    eachPeriod(policy.daily, DayOf);
    eachPeriod(policy.weekly, WeekOf);
    eachPeriod(policy.monthly, MonthOf);
    std::vector<std::string> expired;
    for (const auto* list : {&backups, &restores}) {
        for (auto entry = list->rbegin(); entry != list->rend(); ++entry) {
            if (!kept.contains(entry->id)) {
                expired.push_back(entry->id); // oldest first
            }
        }
    }
    return expired;
}

platform::Below EntryFolder(const modGlobal::Roots& roots, const std::string& package,
                            const std::string& id) {
    return {roots.BackupDir(), {package, "History", id}};
}

std::string NewId(const modGlobal::Roots& roots, const std::string& package, std::int64_t utc,
                  Kind kind) {
    const std::string base = Stamp(utc) + std::string(KindSuffix(kind));
    unsigned last = 0;
    platform::ListFolder(HistoryPath(roots, package),
                         [&](std::string_view name, platform::EntryKind) {
                             const auto entry = ParseId(name);
                             if (entry && entry->time == utc && entry->kind == kind) {
                                 last = std::max(last, entry->n);
                             }
                             return true;
                         });
    std::string id = last == 0 ? base : base + "-" + std::to_string(last + 1);
    for (unsigned n = last + 2;
         platform::StateOf(HistoryPath(roots, package) + kSepStr + id) != PathState::Missing; ++n) {
        id = base + "-" + std::to_string(n); // something not of ours holds the name
    }
    return id;
}

Latest LatestBackup(const modGlobal::Roots& roots, const std::string& package) {
    Latest latest;
    const auto facts = platform::InspectFolder(BesideLatest(roots, package, "Settings"));
    latest.exists = facts.has_value();
    const auto record = latest.exists ? ReadRecord(roots, package, kTimeName) : std::nullopt;
    // An older version named the folder the record belonged to by its identity, which a
    // copy of the program folder does not keep: only a record that still names it is sure.
    if (record &&
        (record->rest.empty() || (!facts->identity.empty() && record->rest == facts->identity))) {
        latest.time = record->time;
        latest.readSince = record->readSince;
    }
    return latest;
}

bool BeginRecord(const modGlobal::Roots& roots, const std::string& package, std::int64_t utc,
                 const std::string& replacedId) {
    return platform::ReplaceFile(PathBesideLatest(roots, package, kNextName),
                                 Stamp(utc) + " " + (replacedId.empty() ? "-" : replacedId) +
                                     "\r\n");
}

void EndRecord(const modGlobal::Roots& roots, const std::string& package, bool placed,
               const std::optional<platform::FileTime>& readSince) {
    const auto begun = ReadRecord(roots, package, kNextName);
    // Should the record not be written now, the begun one stays for the next run to settle.
    if (placed && begun &&
        !platform::ReplaceFile(PathBesideLatest(roots, package, kTimeName),
                               Stamp(begun->time) + "\r\n" +
                                   (readSince ? ReadLine(*readSince) : std::string()))) {
        return;
    }
    platform::RemoveTree(BesideLatest(roots, package, kNextName));
}

void Tidy(const modGlobal::Roots& roots, const std::string& package) {
    if (!IsPlainFolderName(package) ||
        platform::StateOf(AppFolder(roots, package)) != PathState::Folder) {
        return;
    }
    // Under the app's lock no other run is at work here: whatever one left is a leftover.
    platform::ClearLeftovers({roots.BackupDir(), {package}}, true);
    const std::string folder = HistoryPath(roots, package);
    if (platform::StateOf(folder) == PathState::Folder) {
        platform::ClearLeftovers({roots.BackupDir(), {package, "History"}}, true);
        // An entry a killed run made but never filled: what that run left inside is
        // finished or goes, then the entry goes if it is still empty.
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
            platform::ClearLeftovers(EntryFolder(roots, package, id), true);
            bool empty = true;
            platform::ListFolder(folder + kSepStr + id, [&](std::string_view, platform::EntryKind) {
                return empty = false;
            });
            if (empty) {
                platform::DiscardTree(EntryFolder(roots, package, id), true);
            }
        }
    }
    SettleRecord(roots, package);
}

std::vector<std::string> Leftovers(const modGlobal::Roots& roots, const std::string& package) {
    std::vector<std::string> found;
    if (!IsPlainFolderName(package)) {
        return found;
    }
    const std::string prefix = std::string("History") + kSepStr;
    found = platform::FindLeftovers({roots.BackupDir(), {package}});
    for (const std::string& name :
         platform::FindLeftovers({roots.BackupDir(), {package, "History"}})) {
        found.push_back(prefix + name);
    }
    const std::string folder = HistoryPath(roots, package);
    platform::ListFolder(folder, [&](std::string_view name, platform::EntryKind kind) {
        const std::string entry(name);
        if (kind == platform::EntryKind::Folder && ParseId(entry) &&
            platform::StateOf(folder + kSepStr + entry + kSepStr + "Settings") ==
                PathState::Missing) {
            found.push_back(prefix + entry);
        }
        return true;
    });
    if (platform::StateOf(PathBesideLatest(roots, package, kNextName)) != PathState::Missing) {
        found.emplace_back(kNextName);
    }
    return found;
}

std::vector<std::string> Prune(const modGlobal::Roots& roots, const std::string& package,
                               const Policy& policy, std::int64_t now,
                               const std::vector<std::string>& protect) {
    std::vector<std::string> removed;
    for (const std::string& id : Expired(List(roots, package), policy, now, protect)) {
        if (platform::DiscardTree(EntryFolder(roots, package, id), true) == 0) {
            removed.push_back(id);
        }
    }
    return removed;
}

int LockApp(const modGlobal::Roots& roots, const std::string& package, std::int64_t now, int waitMs,
            platform::FileLock& lock, std::string& holder, platform::FailedAt* where) {
    return platform::LockFile(BesideLatest(roots, package, kLockName),
                              platform::ThisProcess() + ", since " + IsoTime(now), waitMs, lock,
                              holder, where);
}

Holding Hold(const platform::Below& folder) {
    // Names of each file met here, against all the names it has.
    std::map<std::pair<std::uint64_t, std::uint64_t>, std::pair<std::uint64_t, std::uint64_t>> met;
    Holding holding;
    platform::ListFiles(folder, [&](const platform::FileIdentity& file) {
        ++holding.files;
        holding.bytes += file.bytes;
        auto& [names, links] = met[{file.volume, file.index}];
        links = file.links;
        if (++names == links) {
            holding.own += file.bytes;
        }
    });
    return holding;
}

std::uint64_t DiskBytes(const modGlobal::Roots& roots, const std::string& package) {
    std::set<std::pair<std::uint64_t, std::uint64_t>> met;
    std::uint64_t bytes = 0;
    platform::ListFiles({roots.BackupDir(), {package}}, [&](const platform::FileIdentity& file) {
        if (met.insert({file.volume, file.index}).second) {
            bytes += file.bytes;
        }
    });
    return bytes;
}

} // namespace operations::history
