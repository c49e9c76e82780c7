// Whole operation runs against links at the levels the operations build, and against
// package names that are not valid UTF-8.
#include "Fixtures.h"
#include "RecordingServices.h"
#include "catalogue/modApps.h"
#include "operations/RunFrame.h"

#include <gtest/gtest.h>

namespace {

using namespace testsupport;
using operations::Operation;

// One letter per app, in order: O for a line ending in "<OK>", E for "<Error>".
std::string RunOn(Operation op, const ProfileFixture& profile,
                  const std::vector<std::string>& packages) {
    std::vector<operations::App> apps;
    for (const auto& package : packages) {
        apps.push_back({package, package});
    }
    FixedClock clock;
    RecordingLauncher launcher;
    RecordingHost host;
    const auto result = operations::Run(op, apps, profile.roots(), clock, launcher, host);
    std::string letters;
    for (std::size_t i = 1; i <= apps.size(); ++i) {
        letters += result.lines[i].ends_with("<OK>") ? "O" : "E";
    }
    return letters;
}

// Catches: an operation that follows a linked package folder, Settings, LocalCache or
// backup folder and changes what the link leads to.
class LinkedAppsTest : public ::testing::TestWithParam<std::pair<Operation, const char*>> {};

TEST_P(LinkedAppsTest, ChangeNothingALinkLeadsTo) {
    ProfileFixture profile;
    const fs::path outside = profile.base().path() / "outside";
    const fs::path backup = profile.program() / "Backup";
    WriteText(outside / "Settings" / "settings.dat", "someone else's");
    WriteText(outside / "LocalCache" / "cache.bin", "someone else's");
    fs::create_directory_symlink(outside, profile.packages() / "Linked.App_l");
    const fs::path inner = profile.AddPackage("Inner.App_i");
    for (const char* folder : {"Settings", "LocalCache"}) {
        fs::remove_all(inner / folder);
        fs::create_directory_symlink(outside / folder, inner / folder);
    }
    profile.AddPackage("BackLinked.App_b");
    fs::create_directories(backup);
    fs::create_directory_symlink(outside, backup / "BackLinked.App_b");
    WriteText(backup / "Linked.App_l" / "Settings" / "settings.dat", "backed up");
    WriteText(backup / "Inner.App_i" / "Settings" / "settings.dat", "backed up");
    const auto before = TreeFingerprint(outside);

    const auto [op, expected] = GetParam();
    EXPECT_EQ(RunOn(op, profile, {"BackLinked.App_b", "Inner.App_i", "Linked.App_l"}), expected);
    EXPECT_EQ(TreeFingerprint(outside), before);
    EXPECT_TRUE(fs::is_symlink(profile.packages() / "Linked.App_l"));
    EXPECT_TRUE(fs::is_symlink(backup / "BackLinked.App_b"));
    EXPECT_EQ(fs::is_symlink(inner / "Settings"), op != Operation::HardReset);
}

// A Hard Reset removes Inner.App_i with its links as links; the others touch its
// Settings or LocalCache link and refuse. BackLinked.App_b differs only in its backup.
INSTANTIATE_TEST_SUITE_P(FiveOperations, LinkedAppsTest,
                         ::testing::Values(std::pair{Operation::Backup, "EEE"},
                                           std::pair{Operation::Restore, "EEE"},
                                           std::pair{Operation::Reset, "OEE"},
                                           std::pair{Operation::HardReset, "OOE"},
                                           std::pair{Operation::ClearAppCache, "OEE"}));

// Catches: names passed through a lossy conversion, so that two apps whose names differ
// only in invalid bytes share a backup or one's Hard Reset deletes the other.
TEST(RunSafety, PackageNamesKeepTheirExactBytes) {
    ProfileFixture profile;
    const std::string invalid = "Twin.App_\xff";
    const std::string replaced = "Twin.App_\xef\xbf\xbd";
    profile.AddPackage(invalid);
    profile.AddPackage(replaced);
    const auto found = modApps::FindPackages(profile.packages().string());
    ASSERT_EQ(found, (std::vector<std::string>{replaced, invalid}));

    EXPECT_EQ(RunOn(Operation::Backup, profile, found), "OO");
    for (const auto& name : found) {
        EXPECT_EQ(ReadText(profile.program() / "Backup" / name / "Settings" / "settings.dat"),
                  "settings of " + name);
    }
    const auto second = TreeFingerprint(profile.packages() / replaced);
    EXPECT_EQ(RunOn(Operation::HardReset, profile, {invalid}), "O");
    EXPECT_FALSE(fs::exists(profile.packages() / invalid));
    EXPECT_EQ(TreeFingerprint(profile.packages() / replaced), second);
    EXPECT_EQ(RunOn(Operation::Restore, profile, {invalid}), "O");
    EXPECT_EQ(ReadText(profile.packages() / invalid / "Settings" / "settings.dat"),
              "settings of " + invalid);
}

} // namespace
