// Backups and package deletes against the system's own tools on identical trees in the same
// run, both sides run as processes and timed alike: wall time, and the user and system time
// the system charged the process. Our side is `dittoly-ua-cli`, copied into a program folder
// of its own (its Backup folder goes beside it) and given a profile of its own (HOME), as a
// scheduled run without a terminal runs it. Each figure is the median of a few runs with
// the order of ours and theirs alternating, and `sync` before every timed run so neither
// side pays for the other's dirty pages.
//
// The Settings are 3,000 files, about 300 MiB, in 72 folders (BenchTools.cpp). Rows:
// - a first Backup against `cp -a` into an empty folder, and against `cp -a` + `sync`, since
//   ours is on the disk when it ends;
// - a Backup over the latest with every file changed (`--keep-last 0`: the replaced copy
//   moves into History, and the one the run before moved there goes), against `cp -a` over a
//   copy;
// - a Backup that finds nothing changed, and one after 1 % of the files were rewritten,
//   against `cp -a` of the whole tree;
// - the disk that ten generations take, 1 % of the files changed in each, against one copy
//   (and `rsync --link-dest` on the same states, where rsync is installed);
// - a Hard Reset of a package folder of 100,000 files against `rm -rf`.
//
//   bench_fileops [folder [dittoly-ua-cli]]   trees go in a fresh folder below `folder`
//                        (default: the system's temporary folder), removed at the end.
//   bench_fileops --make-tree <folder>       only builds the Settings tree there (to
//                        trace both sides on the same files).
#include "BenchTools.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#ifndef DITTOLY_CLI_PATH
#define DITTOLY_CLI_PATH "dittoly-ua-cli"
#endif

namespace {

using bench::Cost;
using bench::MakeDir;
using bench::Measure;
using bench::Pair;
using bench::Report;
using bench::Run;

// Copies are quick, so they get more runs; each delete run needs two fresh trees.
constexpr int kCopyRuns = 5;
constexpr int kRemoveRuns = 3;
constexpr int kRemoveFolders = 100;
constexpr int kRemoveFilesPerFolder = 1000;
constexpr int kGenerations = 10;
constexpr char kApp[] = "App_bench";

// One number or word a run's JSON gives for its app ("linked": 2970), as text.
std::string JsonField(const std::string& json, const std::string& key) {
    const std::string quoted = "\"" + key + "\": ";
    const std::size_t at = json.find(quoted);
    if (at == std::string::npos) {
        return {};
    }
    std::size_t from = at + quoted.size();
    const bool text = json[from] == '"';
    from += text ? 1 : 0;
    return json.substr(from, json.find_first_of(text ? "\"" : ",\n}", from) - from);
}

// Our program in a folder of its own, with the profile it backs up from.
class Program {
public:
    Program(const std::string& folder, const std::string& cli, const std::string& profile)
        : folder_(folder), profile_(profile) {
        MakeDir(folder_);
        Run({"cp", cli, folder_ + "/dittoly-ua-cli"});
    }
    // Runs `dittoly-ua-cli <args>` and checks that the app's result is `want`; the JSON.
    std::string operator()(std::vector<std::string> args, const std::string& want) const {
        args.insert(args.begin(), folder_ + "/dittoly-ua-cli");
        args.emplace_back("--json");
        const std::string output = folder_ + "/run.json";
        Run(args, output, profile_);
        const std::string json = bench::ReadText(output);
        if (JsonField(json, "result") != want) {
            std::fprintf(stderr, "bench_fileops: %s %s: not %s\n%s", args[1].c_str(),
                         args[2].c_str(), want.c_str(), json.c_str());
            errno = 0;
            bench::Die("unexpected result");
        }
        return json;
    }
    std::string Backup() const { return folder_ + "/Backup/" + kApp; }

private:
    std::string folder_;
    std::string profile_;
};

// What `du -sk` says of `path` (names of one file counted once), in KiB.
long DiskKiB(const std::string& base, const std::string& path) {
    const std::string output = base + "/du.txt";
    Run({"du", "-sk", path}, output);
    return std::strtol(bench::ReadText(output).c_str(), nullptr, 10);
}

// A package folder of 100 folders with 1,000 small files each.
void BuildPackage(const std::string& package) {
    MakeDir(package);
    const char content[] = "{\"cache\":\"entry\",\"size\":64,\"padding\":\"..............\"}\n";
    for (int f = 0; f < kRemoveFolders; ++f) {
        const std::string folder = package + "/cache" + std::to_string(f);
        MakeDir(folder);
        for (int i = 0; i < kRemoveFilesPerFolder; ++i) {
            FILE* file =
                std::fopen((folder + "/entry" + std::to_string(i) + ".json").c_str(), "wb");
            if (file == nullptr || std::fwrite(content, 1, sizeof content - 1, file) == 0) {
                bench::Die("cannot write in " + folder);
            }
            std::fclose(file);
        }
    }
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--make-tree") {
        bench::Tree tree;
        tree.Build(argv[2]);
        std::printf("%zu files, %.1f MiB\n", tree.Files(),
                    static_cast<double>(tree.Bytes()) / (1 << 20));
        return 0;
    }
    const std::string parent = argc > 1 ? argv[1] : std::filesystem::temp_directory_path().string();
    const std::string cli = argc > 2 ? argv[2] : DITTOLY_CLI_PATH;
    std::string pattern = parent + "/dittoly-bench-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        bench::Die("cannot create a folder in " + parent);
    }
    const std::string base = pattern;
    bench::SetScratch(base);
    std::printf("trees in %s\n", base.c_str());

    const std::string profile = base + "/profile";
    const std::string packages = profile + "/AppData/Local/Packages";
    for (const std::string& folder : {profile, profile + "/AppData", profile + "/AppData/Local",
                                      packages, packages + "/" + kApp}) {
        MakeDir(folder);
    }
    const std::string settings = packages + "/" + kApp + "/Settings";
    bench::Tree tree;
    tree.Build(settings);
    std::printf("Settings: %zu files in %zu folders, %.1f MiB, the largest %.1f MiB\n",
                tree.Files(), tree.Folders(), static_cast<double>(tree.Bytes()) / (1 << 20),
                static_cast<double>(tree.Largest()) / (1 << 20));
    std::fflush(stdout);
    const auto at = [&](const std::string& name, int run) {
        return base + "/" + name + "-" + std::to_string(run);
    };
    const std::string files = std::to_string(tree.Files());
    std::vector<Cost> ours;
    std::vector<Cost> theirs;
    std::vector<Cost> synced;

    // (a) A first Backup, each run into a program folder of its own: deleting the previous
    // copy in between would leave the file system freeing space while the next run is timed.
    std::vector<Program> firsts;
    for (int run = 0; run < kCopyRuns; ++run) {
        firsts.emplace_back(at("first", run), cli, profile);
        MakeDir(at("cp", run));
        MakeDir(at("cps", run));
    }
    for (int run = 0; run < kCopyRuns; ++run) {
        Pair(
            run, [&] { ours.push_back(Measure([&] {
                           firsts[run]({"backup", kApp}, "ok");
                       })); },
            [&] {
                theirs.push_back(Measure([&] { Run({"cp", "-a", settings, at("cp", run)}); }));
                Run({"sync"});
                synced.push_back(Measure([&] {
                    Run({"cp", "-a", settings, at("cps", run)});
                    Run({"sync"});
                }));
            });
    }
    Report("first backup", "cp -a", ours, theirs, 1.0);
    Report("first backup, durable", "cp -a + sync", ours, synced, 1.0);

    // (b) Over the latest backup with every file changed since (a new modification time),
    // keeping no more History than the entry the run makes: the replaced copy moves there
    // and the entry of the run before goes. A first such run untimed, so that every timed
    // one finds an entry to remove.
    const auto overRun = [&] { return firsts[0]({"backup", kApp, "--keep-last", "0"}, "ok"); };
    tree.TouchAll();
    bench::WaitNextSecond();
    overRun();
    ours.clear();
    theirs.clear();
    synced.clear();
    for (int run = 0; run < kCopyRuns; ++run) {
        tree.TouchAll();
        bench::WaitNextSecond();
        Pair(
            run,
            [&] {
                std::string json;
                ours.push_back(Measure([&] { json = overRun(); }));
                if (JsonField(json, "copied") != files) {
                    errno = 0;
                    bench::Die("a backup over a changed tree that did not copy every file");
                }
            },
            [&] {
                theirs.push_back(Measure([&] {
                    Run({"cp", "-a", settings + "/.", at("cp", 0) + "/Settings"});
                }));
                Run({"sync"});
                synced.push_back(Measure([&] {
                    Run({"cp", "-a", settings + "/.", at("cps", 0) + "/Settings"});
                    Run({"sync"});
                }));
            });
    }
    Report("backup over the latest, all changed, --keep-last 0", "cp -a over a copy", ours, theirs,
           1.0);
    Report("backup over the latest, all changed, --keep-last 0, durable",
           "cp -a + sync over a copy", ours, synced, 1.0);
    Run({"rm", "-rf", firsts[0].Backup()});
    for (int run = 0; run < kCopyRuns; ++run) {
        Run({"rm", "-rf", at("first", run), at("cp", run), at("cps", run)});
    }

    // (c) A Backup that finds nothing changed since the last one, then one after 1 % of the
    // files were written anew (each run 1 % more), against a copy of the whole tree.
    const Program program(base + "/program", cli, profile);
    bench::WaitNextSecond();
    program({"backup", kApp}, "ok");
    ours.clear();
    theirs.clear();
    for (int run = 0; run < kCopyRuns; ++run) {
        Pair(
            run, [&] { ours.push_back(Measure([&] {
                           program({"backup", kApp}, "unchanged");
                       })); },
            [&] {
                theirs.push_back(Measure([&] { Run({"cp", "-a", settings, at("same", run)}); }));
            });
    }
    Report("unchanged backup", "cp -a", ours, theirs, 0.1);
    ours.clear();
    theirs.clear();
    std::string counts;
    for (int run = 0; run < kCopyRuns; ++run) {
        tree.Change(tree.Files() / 100);
        bench::WaitNextSecond();
        Pair(
            run,
            [&] {
                std::string json;
                ours.push_back(Measure([&] { json = program({"backup", kApp}, "ok"); }));
                counts.append(" ").append(JsonField(json, "linked"));
                counts.append("/").append(JsonField(json, "copied"));
            },
            [&] {
                theirs.push_back(Measure([&] { Run({"cp", "-a", settings, at("part", run)}); }));
            });
    }
    Report("backup after 1 % of the files changed", "cp -a", ours, theirs, 0.2);
    std::printf("    linked/copied:%s\n", counts.c_str());
    for (int run = 0; run < kCopyRuns; ++run) {
        Run({"rm", "-rf", at("same", run), at("part", run)});
    }
    Run({"rm", "-rf", base + "/program"});

    // (d) The disk ten generations take, 1 % of the files changed before each after the
    // first; rsync's link-dest makes the same ten states beside ours, if it is installed.
    {
        const bool rsync = std::system("command -v rsync >/dev/null 2>&1") == 0;
        const Program gens(base + "/gens", cli, profile);
        MakeDir(base + "/rsync");
        std::uint64_t changed = 0;
        for (int gen = 0; gen < kGenerations; ++gen) {
            if (gen > 0) {
                changed += tree.Change(tree.Files() / 100);
            }
            bench::WaitNextSecond();
            gens({"backup", kApp}, "ok");
            if (rsync) {
                std::vector<std::string> args = {"rsync", "-a"};
                if (gen > 0) {
                    args.push_back("--link-dest=" + at("rsync/gen", gen - 1));
                }
                args.push_back(settings + "/");
                args.push_back(at("rsync/gen", gen) + "/");
                Run(args);
            }
        }
        const double one = static_cast<double>(DiskKiB(base, settings));
        const double kept = static_cast<double>(DiskKiB(base, gens.Backup()));
        std::printf("disk for %d generations (%.1f MiB rewritten): Backup/%s %.0f KiB, one copy "
                    "%.0f KiB; ratio %.2f (target <= 1.15)\n",
                    kGenerations, static_cast<double>(changed) / (1 << 20), kApp, kept, one,
                    kept / one);
        if (rsync) {
            const double theirsKiB = static_cast<double>(DiskKiB(base, base + "/rsync"));
            std::printf("    rsync -a --link-dest: %.0f KiB, ratio %.2f\n", theirsKiB,
                        theirsKiB / one);
        } else {
            std::printf("    rsync -a --link-dest: rsync is not installed, column skipped\n");
        }
        std::fflush(stdout);
        Run({"rm", "-rf", base + "/gens", base + "/rsync", packages + "/" + kApp});
    }

    // (e) A Hard Reset of a package folder of 100,000 files, a fresh identical pair each run.
    {
        const Program remover(base + "/remover", cli, profile);
        ours.clear();
        theirs.clear();
        for (int run = 0; run < kRemoveRuns; ++run) {
            BuildPackage(packages + "/App_ours");
            BuildPackage(base + "/App_rm");
            Pair(
                run,
                [&] {
                    ours.push_back(Measure([&] {
                        remover({"hard-reset", "--yes", "App_ours"}, "ok");
                    }));
                },
                [&] {
                    theirs.push_back(Measure([&] { Run({"rm", "-rf", base + "/App_rm"}); }));
                });
        }
        Report("hard reset of a package of 100000 files", "rm -rf", ours, theirs, 1.25);
    }

    Run({"rm", "-rf", base});
    return 0;
}
