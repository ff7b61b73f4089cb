// The built quorane-update run end to end: real bundles, real zip archives,
// the real unzip, and stand-in launchctl and killall scripts first on PATH
// that record what they were asked. The stand-in killall signals only the
// PIDs of agents this test started.
#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "UpdaterTestSupport.h"

namespace quorane::test {
namespace {

using UpdaterRunTest = UpdaterSandbox;

TEST_F(UpdaterRunTest, RunningAgentIsStoppedBundlesSwappedAndAgentLoadedAgain) {
    MakeSampleInstall(install);
    FakeAgent& es = StartAgent("quoranees");
    FakeAgent& et = StartAgent("quoraneet");

    EXPECT_EQ(Run({install.string(), "es.zip", "et.zip"}), 0);
    // The first kill sequence ended both agents, so one check sufficed.
    EXPECT_EQ(Log(), Expected(1));
    EXPECT_TRUE(es.Reap());
    EXPECT_TRUE(et.Reap());
    EXPECT_EQ(BundleVersions(install), kNewVersions);
    EXPECT_EQ(EntryCount(install), 2);
}

TEST_F(UpdaterRunTest, CommandLineWithNothingToSwapStopsAndRestartsTheAgentOnly) {
    // An incomplete command line, or an install directory that is not there
    // (which is never made).
    MakeBundle(install, "quoranees.app", "es1");
    MakeArchive(install / "es.zip", {{"quoranees.app", "es2"}, {"quoraneet.app", "et2"}});
    const auto before = Snapshot(dir.path());
    const std::vector<std::vector<std::string>> commandLines = {
        {},
        {install.string(), "es.zip"},
        {install.string(), "", "es.zip"},
        {"", "es.zip", "es.zip"},
        {(dir / "nowhere").string(), "a.zip", "b.zip"}};
    for (const auto& args : commandLines) {
        SCOPED_TRACE(testing::PrintToString(args));
        fs::remove(dir / "log");
        EXPECT_EQ(Run(args), 0);
        EXPECT_EQ(Log(), Expected(1));
        auto now = Snapshot(dir.path());
        now.erase("log");
        EXPECT_EQ(now, before);
    }
}

TEST_F(UpdaterRunTest, ArgumentsAfterTheThirdAreIgnored) {
    MakeBundle(install, "quoranees.app", "es1");
    MakeArchive(install / "es.zip", {{"quoranees.app", "es2"}, {"quoraneet.app", "et2"}});
    EXPECT_EQ(Run({install.string(), "es.zip", "none.zip", "extra", "quoranees.app"}), 0);
    EXPECT_EQ(Log(), Expected(1));
    EXPECT_EQ(BundleVersions(install), kNewVersions);
}

TEST_F(UpdaterRunTest, DamagedArchiveBringsTheOldBundlesBack) {
    MakeOldBundles(install);
    MakeArchive(install / "both.zip", {{"quoranees.app", "es2"}, {"quoraneet.app", "et2"}});
    DamageLastEntry(install / "both.zip");
    EXPECT_EQ(Run({install.string(), "both.zip", "both.zip"}), 0);
    EXPECT_EQ(BundleVersions(install), kOldVersions);
    EXPECT_EQ(EntryCount(install), 2);
    ExpectLoadedLast(Log());
}

TEST_F(UpdaterRunTest, ShellMetacharactersReachNoShell) {
    const fs::path odd = dir / "my install; touch pwned $(touch pwned2) 'x\"";
    fs::create_directories(odd);
    MakeOldBundles(odd);
    const std::string first = "-first `touch pwned3` & a.zip";
    MakeArchive(odd / first, {{"quoranees.app", "es2"}, {"quoraneet.app", "et2"}});

    EXPECT_EQ(Run({odd.string(), first, "none | touch pwned4.zip"}), 0);
    EXPECT_EQ(BundleVersions(odd), kNewVersions);
    for (const auto& entry : Snapshot(dir.path()))
        EXPECT_NE(fs::path(entry.first).filename().string().rfind("pwned", 0), 0u) << entry.first;
    EXPECT_FALSE(fs::exists("pwned"));
}

// The one test that spends the real wait budget: agents that survive every
// kill sequence hold the updater for ten checks, then the update goes on.
TEST_F(UpdaterRunTest, AgentThatSurvivesEveryKillUsesTheWholeBudget) {
    MakeBundle(install, "quoranees.app", "es1");
    MakeArchive(install / "es.zip", {{"quoranees.app", "es2"}, {"quoraneet.app", "et2"}});
    StartAgent("quoranees");

    const auto start = std::chrono::steady_clock::now();
    Launch ignoringKills;
    ignoringKills.ignoreKills = true;
    EXPECT_EQ(Run({install.string(), "es.zip", "none.zip"}, ignoringKills), 0);
    const auto elapsed = std::chrono::steady_clock::now() - start;

    EXPECT_EQ(Log(), Expected(11));
    EXPECT_GE(elapsed, std::chrono::seconds(11));
    EXPECT_EQ(BundleVersions(install), kNewVersions);
}

}  // namespace
}  // namespace quorane::test
