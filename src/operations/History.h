#pragma once
// The older backups of an app: what a Backup or a Restore replaced, kept as
// Backup/<package>/History/<id>/Settings, and the time each backup was made.
//
// An id is the UTC time of what it holds, "YYYY-MM-DDTHHMMSSZ" (it sorts by time and is a
// valid name on every file system): for a replaced backup the time that backup was made,
// for the live Settings a Restore replaced the time of that Restore, followed by
// "-before-restore". Two of the same second get "-2", "-3", ... after that.

#include "common/modGlobal.h"
#include "platform/Platform.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace operations::history {

// Entries each app keeps after a successful run, unless the run says otherwise.
inline constexpr int kDefaultKeep = 10;

enum class Kind : std::uint8_t { Backup, BeforeRestore };

struct Entry {
    std::string id; // its folder's name under History
    Kind kind = Kind::Backup;
    std::int64_t time = 0; // UTC seconds since 1970
};

// "2026-12-05T140509Z" for 2026-12-05 14:05:09 UTC.
std::string Stamp(std::int64_t utc);
// ISO 8601, "2026-12-05T14:05:09Z".
std::string IsoTime(std::int64_t utc);
// What an id says, or nullopt for a name that is none (a folder of someone else's).
std::optional<Entry> ParseId(std::string_view id);

// The app's complete History entries (each holding a Settings folder), newest first.
std::vector<Entry> List(const modGlobal::Roots& roots, const std::string& package);

// Backup/<package>/History/<id>: where a replaced Settings goes, and where one is restored
// from.
platform::Below EntryFolder(const modGlobal::Roots& roots, const std::string& package,
                            const std::string& id);

// An id the app does not have yet, for something replaced at `utc`.
std::string NewId(const modGlobal::Roots& roots, const std::string& package, std::int64_t utc,
                  Kind kind);

// When the app's current backup (Backup/<package>/Settings) was made: the time recorded
// for that very folder, else (a backup of an older version, or one put there by hand) the
// folder's modification time. nullopt when there is no backup.
std::optional<std::int64_t> LatestTime(const modGlobal::Roots& roots, const std::string& package);

// Records `utc` as the time the current backup was made, in a small file beside it, never
// inside it, so a Restore never copies it. The record names the folder it belongs to, so
// a backup that replaced it without a new record (a run killed in between) is never given
// another backup's time.
bool RecordLatest(const modGlobal::Roots& roots, const std::string& package, std::int64_t utc);

// Finishes or removes what interrupted runs left in the app's History, so that every entry
// it then holds is whole. Before every Backup and Restore of the app.
void Tidy(const modGlobal::Roots& roots, const std::string& package);

// Keeps the app's `keep` newest entries and removes the others, each as a whole (a removal
// cut short leaves no entry half there).
void Prune(const modGlobal::Roots& roots, const std::string& package, int keep);

} // namespace operations::history
