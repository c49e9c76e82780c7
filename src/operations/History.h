#pragma once
// The older backups of an app: what a Backup or a Restore replaced, kept as
// Backup/<package>/History/<id>/Settings, the time each backup was made, the retention
// that decides which entries stay, and the lock that keeps two runs off one app.
//
// An id is the UTC time of what it holds, "YYYY-MM-DDTHHMMSSZ" (a valid name on every file
// system): for a replaced backup the time that backup was made, for the live Settings a
// Restore replaced the time of that Restore, followed by "-before-restore". A replaced
// backup whose time no record can vouch for (made by an older version or by hand) is named
// by the time it was replaced, followed by "-undated". Later entries of the same second
// and kind get "-2", "-3", ... after that. Entries are ordered by their time, then by that
// number: never as text, which would put "-10" before "-2".

#include "common/modGlobal.h"
#include "platform/Platform.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace operations::history {

enum class Kind : std::uint8_t { Backup, BeforeRestore, Undated };

struct Entry {
    std::string id; // its folder's name under History
    Kind kind = Kind::Backup;
    std::int64_t time = 0; // UTC seconds since 1970
    unsigned n = 1;        // its place among the entries of its second and kind
};

// Newer first: by time, then by the place within the second.
bool Newer(const Entry& a, const Entry& b);

// Which entries an app keeps after a run that succeeded, as restic's forget keeps them:
// the newest `last` backups, and the newest backup of each of the newest `daily` days,
// `weekly` weeks (Monday to Sunday) and `monthly` months that have one (UTC, as the ids).
// An entry that any rule keeps stays. Entries made before a restore have a rule of their
// own, so a Restore and its undo never push a backup out.
struct Policy {
    int last = 10;
    int daily = 7;
    int weekly = 4;
    int monthly = 6;
    int beforeRestore = 5;

    // The newest `n` and no other rule: of the entries made before a restore, the newest
    // `n` as well, but never more than the five the default keeps.
    static Policy Newest(int n) { return {n, 0, 0, 0, std::min(n, 5)}; }
    bool KeepsNothing() const {
        return last <= 0 && daily <= 0 && weekly <= 0 && monthly <= 0 && beforeRestore <= 0;
    }
};

// "2026-12-05T140509Z" for 2026-12-05 14:05:09 UTC.
std::string Stamp(std::int64_t utc);
// ISO 8601, "2026-12-05T14:05:09Z".
std::string IsoTime(std::int64_t utc);
// What an id says, or nullopt for a name that is none (a folder of someone else's).
std::optional<Entry> ParseId(std::string_view id);

// The app's complete History entries (each holding a Settings folder), newest first.
std::vector<Entry> List(const modGlobal::Roots& roots, const std::string& package);

// Of `entries` (newest first), the ids `policy` removes at `now`. Never an undated entry,
// one dated after `now` (a clock that ran ahead, or a folder put there) or one in
// `protect`; and entries that are not the program's never count against its own.
std::vector<std::string> Expired(const std::vector<Entry>& entries, const Policy& policy,
                                 std::int64_t now, const std::vector<std::string>& protect);

// Backup/<package>/History/<id>: where a replaced Settings goes, and where one is restored
// from.
platform::Below EntryFolder(const modGlobal::Roots& roots, const std::string& package,
                            const std::string& id);

// An id the app does not have yet, for something of `kind` made at `utc`: after every
// entry of the same second and kind, never in a gap that pruning left.
std::string NewId(const modGlobal::Roots& roots, const std::string& package, std::int64_t utc,
                  Kind kind);

// The app's current backup (Backup/<package>/Settings): whether there is one, and when it
// was made as the record beside it says; no time when no record can vouch for it (it then
// goes to History undated, never under the folder's own modification time, which is the
// app's).
struct Latest {
    bool exists = false;
    std::optional<std::int64_t> time;
    // When the copy that made it began to read the app's Settings, on the file system's
    // clock: what lets the next Backup link the files that did not change since without
    // reading them. Unknown for a backup of an older version or one a run was killed after.
    std::optional<platform::FileTime> readSince;
};
Latest LatestBackup(const modGlobal::Roots& roots, const std::string& package);

// The record of when the current backup was made is written in two steps around the copy
// that replaces it, so a run killed between the two never leaves a record naming another
// backup, and a program folder copied elsewhere (where folder identities and fine times are
// lost) keeps it. Before the copy: `utc`, and the History entry the replaced backup is to
// become ("" when there is none).
bool BeginRecord(const modGlobal::Roots& roots, const std::string& package, std::int64_t utc,
                 const std::string& replacedId);
// After it: the record of `BeginRecord` becomes the current one when `placed` (the new copy
// took its place), with `readSince`, when the copy began to read; else it goes.
void EndRecord(const modGlobal::Roots& roots, const std::string& package, bool placed,
               const std::optional<platform::FileTime>& readSince = std::nullopt);

// Finishes or removes what interrupted runs left in the app's backup folder and its
// History, so that every entry it then holds is whole, and settles a record a killed run
// left begun. Before every Backup and Restore of the app, under its lock.
void Tidy(const modGlobal::Roots& roots, const std::string& package);

// What Tidy would finish or remove, as "History/<name>" or "<name>" below the app's backup
// folder. Nothing is changed.
std::vector<std::string> Leftovers(const modGlobal::Roots& roots, const std::string& package);

// Removes the entries `policy` does not keep (see Expired), each as a whole (a removal cut
// short leaves no entry half there). The ids removed.
std::vector<std::string> Prune(const modGlobal::Roots& roots, const std::string& package,
                               const Policy& policy, std::int64_t now,
                               const std::vector<std::string>& protect);

// What a folder of an app's backups holds: its files and their bytes by name, and the
// bytes of the files that no name outside the folder shares with it (what removing the
// folder would free). Files with several names inside it count once.
struct Holding {
    std::uint64_t files = 0;
    std::uint64_t bytes = 0;
    std::uint64_t own = 0;
};
Holding Hold(const platform::Below& folder);

// The bytes of the app's whole backup folder, each file once however many of its
// generations share it.
std::uint64_t DiskBytes(const modGlobal::Roots& roots, const std::string& package);

// Takes the app's lock (Backup/<package>/Settings.lock), which keeps every other run off
// the app's backups, waiting up to `waitMs` for another run to end. 0, or EWOULDBLOCK with
// `holder` saying which run has it, or an errno (and `where` as LockFile sets it). The backup
// folder must exist.
int LockApp(const modGlobal::Roots& roots, const std::string& package, std::int64_t now, int waitMs,
            platform::FileLock& lock, std::string& holder, platform::FailedAt* where = nullptr);

} // namespace operations::history
