// The built quorane-update run end to end: real bundles, real zip archives,
// the real unzip, and stand-in launchctl and killall scripts first on PATH
// that record what they were asked. The stand-in killall signals only the
// PIDs of agents this test started.
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "UpdaterTestSupport.h"

namespace quorane::test {
namespace {

const std::string kUnload =
    "launchctl unload HOME/Library/LaunchAgents/com.quorane.quoranees.plist";
const std::string kLoad = "launchctl load -w HOME/Library/LaunchAgents/com.quorane.quoranees.plist";
const std::vector<std::string> kKills = {"killall 9 quoraneet", "killall 9 quoranees",
                                         "killall -9 quoraneet", "killall -9 quoranees"};

class UpdaterRunTest : public testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(tools);
        fs::create_directories(home);
        fs::create_directories(pids);
        fs::create_directories(install);
        Tool("launchctl", "echo \"launchctl $*\" >> \"$QUORANE_TEST_LOG\"\n");
        // killall [-9] name...: TERM (or KILL with -9) to the PIDs the test
        // wrote under $QUORANE_TEST_PIDS/<name>, and to nothing else.
        Tool("killall",
             "echo \"killall $*\" >> \"$QUORANE_TEST_LOG\"\n"
             "[ -n \"$QUORANE_TEST_IGNORE_KILLS\" ] && exit 0\n"
             "signal=TERM\n"
             "if [ \"$1\" = -9 ]; then signal=KILL; shift; fi\n"
             "for name in \"$@\"; do\n"
             "  f=\"$QUORANE_TEST_PIDS/$name\"\n"
             "  [ -f \"$f\" ] && kill -s $signal $(cat \"$f\") 2>/dev/null\n"
             "done\n"
             "exit 0\n");
    }

    void Tool(const std::string& name, const std::string& body) {
        WriteFile(tools / name, "#!/bin/sh\n" + body);
        fs::permissions(tools / name, fs::perms(0755));
    }

    // Runs the updater with these arguments; returns its exit status.
    int Run(const std::vector<std::string>& args, bool ignoreKills = false) {
        const pid_t pid = fork();
        if (pid == 0) {
            setenv("PATH", (tools.string() + ":" + std::getenv("PATH")).c_str(), 1);
            setenv("HOME", home.c_str(), 1);
            setenv("QUORANE_TEST_LOG", (dir / "log").c_str(), 1);
            setenv("QUORANE_TEST_PIDS", pids.c_str(), 1);
            if (ignoreKills) setenv("QUORANE_TEST_IGNORE_KILLS", "1", 1);
            // unzip's listing stays out of the test log.
            if (freopen("/dev/null", "w", stdout) == nullptr) _exit(126);
            std::vector<char*> argv = {const_cast<char*>(QUORANE_UPDATE_BINARY)};
            for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
            argv.push_back(nullptr);
            execv(QUORANE_UPDATE_BINARY, argv.data());
            _exit(127);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    // The recorded commands, with the home directory written as HOME.
    std::vector<std::string> Log() {
        std::vector<std::string> lines;
        std::istringstream in(ReadFile(dir / "log"));
        for (std::string line; std::getline(in, line);) {
            const std::string::size_type at = line.find(home.string());
            if (at != std::string::npos) line.replace(at, home.string().size(), "HOME");
            lines.push_back(line);
        }
        return lines;
    }

    std::vector<std::string> Expected(int killSequences) {
        std::vector<std::string> lines = {kUnload};
        for (int i = 0; i < killSequences; ++i)
            lines.insert(lines.end(), kKills.begin(), kKills.end());
        lines.push_back(kLoad);
        return lines;
    }

    // Starts a stand-in agent the stand-in killall may signal.
    FakeAgent& StartAgent(const std::string& name) {
        agents.push_back(std::make_unique<FakeAgent>(dir / "agents", name));
        WriteFile(pids / name, std::to_string(agents.back()->pid()));
        return *agents.back();
    }

    TempDir dir;
    fs::path tools = dir / "tools", home = dir / "home", pids = dir / "pids";
    fs::path install = dir / "install";
    std::vector<std::unique_ptr<FakeAgent>> agents;
};

TEST_F(UpdaterRunTest, RunningAgentIsStoppedBundlesSwappedAndAgentLoadedAgain) {
    MakeBundle(install, "quoranees.app", "es1");
    MakeBundle(install, "quoraneet.app", "et1");
    MakeArchive(install / "es.zip", {{"quoranees.app", "es2"}});
    MakeArchive(install / "et.zip", {{"quoraneet.app", "et2"}});
    FakeAgent& es = StartAgent("quoranees");
    FakeAgent& et = StartAgent("quoraneet");

    EXPECT_EQ(Run({install.string(), "es.zip", "et.zip"}), 0);
    // The first kill sequence ended both agents, so one check sufficed.
    EXPECT_EQ(Log(), Expected(1));
    EXPECT_TRUE(es.Reap());
    EXPECT_TRUE(et.Reap());
    EXPECT_EQ(BundleVersions(install), "quoranees.app=es2 quoraneet.app=et2");
    EXPECT_EQ(std::distance(fs::directory_iterator(install), fs::directory_iterator()), 2);
}

TEST_F(UpdaterRunTest, IncompleteCommandLineStopsAndRestartsTheAgentOnly) {
    MakeBundle(install, "quoranees.app", "es1");
    MakeArchive(install / "es.zip", {{"quoranees.app", "es2"}, {"quoraneet.app", "et2"}});
    const auto before = Snapshot(dir.path());
    const std::vector<std::vector<std::string>> commandLines = {{},
                                                                {install.string(), "es.zip"},
                                                                {install.string(), "", "es.zip"},
                                                                {"", "es.zip", "es.zip"}};
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
    EXPECT_EQ(BundleVersions(install), "quoranees.app=es2 quoraneet.app=et2");
}

TEST_F(UpdaterRunTest, MissingInstallDirectoryStillEndsWithTheLoadCommand) {
    EXPECT_EQ(Run({(dir / "nowhere").string(), "a.zip", "b.zip"}), 0);
    EXPECT_EQ(Log(), Expected(1));
    EXPECT_FALSE(fs::exists(dir / "nowhere"));
}

TEST_F(UpdaterRunTest, DamagedArchiveBringsTheOldBundlesBack) {
    MakeBundle(install, "quoranees.app", "es1");
    MakeBundle(install, "quoraneet.app", "et1");
    MakeArchive(install / "both.zip", {{"quoranees.app", "es2"}, {"quoraneet.app", "et2"}});
    DamageLastEntry(install / "both.zip");
    EXPECT_EQ(Run({install.string(), "both.zip", "both.zip"}), 0);
    EXPECT_EQ(BundleVersions(install), "quoranees.app=es1 quoraneet.app=et1");
    EXPECT_EQ(std::distance(fs::directory_iterator(install), fs::directory_iterator()), 2);
    EXPECT_EQ(Log().back(), kLoad);
}

TEST_F(UpdaterRunTest, ShellMetacharactersReachNoShell) {
    const fs::path odd = dir / "my install; touch pwned $(touch pwned2) 'x\"";
    fs::create_directories(odd);
    MakeBundle(odd, "quoranees.app", "es1");
    MakeBundle(odd, "quoraneet.app", "et1");
    const std::string first = "-first `touch pwned3` & a.zip";
    MakeArchive(odd / first, {{"quoranees.app", "es2"}, {"quoraneet.app", "et2"}});

    EXPECT_EQ(Run({odd.string(), first, "none | touch pwned4.zip"}), 0);
    EXPECT_EQ(BundleVersions(odd), "quoranees.app=es2 quoraneet.app=et2");
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
    EXPECT_EQ(Run({install.string(), "es.zip", "none.zip"}, /*ignoreKills=*/true), 0);
    const auto elapsed = std::chrono::steady_clock::now() - start;

    EXPECT_EQ(Log(), Expected(11));
    EXPECT_GE(elapsed, std::chrono::seconds(11));
    EXPECT_EQ(BundleVersions(install), "quoranees.app=es2 quoraneet.app=et2");
}

}  // namespace
}  // namespace quorane::test
