// Agent shutdown and restart, driven with instant stand-ins; the process scan
// against real processes.
#include <algorithm>
#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "AgentControl.h"
#include "UpdaterTestSupport.h"
#include "platform/ProcessStat.h"
#include "platform/Processes.h"

namespace quorane::updater {
namespace {

using test::Concat;

// Records every command, pause and scan; the scans answer from a script.
struct RecordingWorld {
    std::vector<std::string> events;
    std::vector<std::vector<std::string>> scans;  // answers in turn; the last one repeats

    AgentWorld World() {
        return AgentWorld{
            [this](const std::string& command) { events.push_back(command); },
            [this] {
                events.emplace_back("<scan>");
                const std::size_t done = std::count(events.begin(), events.end(), "<scan>");
                return scans[std::min(done, scans.size()) - 1];
            },
            [this](unsigned seconds) {
                events.push_back("<sleep " + std::to_string(seconds) + ">");
            },
        };
    }
};

const std::string kUnload = "launchctl unload ~/Library/LaunchAgents/com.quorane.quoranees.plist";
const std::vector<std::string> kKills = {"killall 9 quoraneet", "killall 9 quoranees",
                                         "killall -9 quoraneet", "killall -9 quoranees"};

TEST(StopAgent, AbsentAgentIsCheckedOnceAfterTheSettlingPause) {
    RecordingWorld recorder;
    recorder.scans = {{"launchd", "bash"}};
    StopAgent(recorder.World());
    EXPECT_EQ(recorder.events, Concat({{kUnload}, kKills, {"<sleep 1>", "<scan>"}}));
}

TEST(StopAgent, AgentThatNeverStopsUsesTheWholeBudgetThenGoesOn) {
    RecordingWorld recorder;
    recorder.scans = {{"quoraneet"}};
    StopAgent(recorder.World());

    std::vector<std::string> expected = Concat({{kUnload}, kKills, {"<sleep 1>"}});
    for (int check = 0; check < 10; ++check)
        expected = Concat({expected, {"<scan>", "<sleep 1>"}, kKills});
    EXPECT_EQ(recorder.events, expected);
    // 10 checks, 11 kill sequences, 11 pauses.
    EXPECT_EQ(std::count(recorder.events.begin(), recorder.events.end(), "<scan>"), 10);
    EXPECT_EQ(std::count(recorder.events.begin(), recorder.events.end(), "killall -9 quoranees"),
              11);
    EXPECT_EQ(std::count(recorder.events.begin(), recorder.events.end(), "<sleep 1>"), 11);
}

TEST(StopAgent, WaitEndsAtTheFirstCheckThatFindsNoAgent) {
    RecordingWorld recorder;
    recorder.scans = {{"quoranees"}, {"quoraneet", "x"}, {"x"}};
    StopAgent(recorder.World());
    EXPECT_EQ(recorder.events, Concat({{kUnload},
                                       kKills,
                                       {"<sleep 1>", "<scan>", "<sleep 1>"},
                                       kKills,
                                       {"<scan>", "<sleep 1>"},
                                       kKills,
                                       {"<scan>"}}));
}

TEST(StartAgent, LoadsTheLaunchAgentWithTheEnableFlag) {
    RecordingWorld recorder;
    StartAgent(recorder.World());
    EXPECT_EQ(recorder.events,
              std::vector<std::string>{
                  "launchctl load -w ~/Library/LaunchAgents/com.quorane.quoranees.plist"});
}

TEST(ExistProcess, MatchesOnlyTheExactAgentNames) {
    const std::pair<std::vector<std::string>, bool> cases[] = {
        {{}, false},
        {{"quoranees"}, true},
        {{"bash", "quoraneet", "sshd"}, true},
        {{"Quoranees", "QUORANEET"}, false},       // case matters
        {{"quoranees2", "quoraneet.app"}, false},  // no prefixes
        {{"quorane", "uoranees", " quoranees"}, false},
    };
    for (const auto& row : cases) {
        // A lambda cannot capture a structured binding in C++17: a named local.
        const std::vector<std::string>& names = row.first;
        const bool expected = row.second;
        SCOPED_TRACE(testing::PrintToString(names));
        AgentWorld world{nullptr, [&] { return names; }, nullptr};
        EXPECT_EQ(ExistProcess(world), expected);
    }
}

bool Listed(const std::string& name) {
    const std::vector<std::string> names = platform::RunningProcessNames();
    return std::find(names.begin(), names.end(), name) != names.end();
}

TEST(RunningProcessNames, ListsALiveAgentButNotOneThatExitedUnreaped) {
    test::TempDir dir;
    ASSERT_FALSE(Listed("quoranees")) << "another process named quoranees is running";
    test::FakeAgent agent(dir / "agents", "quoranees");
    EXPECT_TRUE(Listed("quoranees"));
    EXPECT_TRUE(ExistProcess(RealAgentWorld()));

    // Killed but not reaped yet: a zombie, which no longer counts.
    ASSERT_EQ(::kill(agent.pid(), SIGKILL), 0);
    for (int i = 0; i < 500 && agent.State() != 'Z'; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(agent.State(), 'Z');
    EXPECT_FALSE(Listed("quoranees"));
    EXPECT_FALSE(ExistProcess(RealAgentWorld()));
    EXPECT_TRUE(agent.Reap());
}

TEST(ParseProcessStat, ReadsTheFieldsBehindTheLastParenthesis) {
    struct Case {
        std::string line;
        std::optional<platform::ProcessStat> expected;
    };
    const std::vector<Case> cases = {
        {"42 (sleep) S 1 42 42 0 -1", platform::ProcessStat{'S', 1, 42}},
        {"7 (a (b) c) Z 3 9 9", platform::ProcessStat{'Z', 3, 9}},
        {"7 (x) y) R 0 1", platform::ProcessStat{'R', 0, 1}},
        {"8 () ) D 5 6", platform::ProcessStat{'D', 5, 6}},
        {"9 (name\nwith newline) S 2 3", platform::ProcessStat{'S', 2, 3}},
        {"10 (cut", std::nullopt},
        {"11 (p) S", std::nullopt},
        {"", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        const std::optional<platform::ProcessStat> stat = platform::ParseProcessStat(c.line);
        ASSERT_EQ(stat.has_value(), c.expected.has_value());
        if (!stat) continue;
        EXPECT_EQ(stat->state, c.expected->state);
        EXPECT_EQ(stat->parent, c.expected->parent);
        EXPECT_EQ(stat->group, c.expected->group);
    }
}

TEST(RunningProcessNames, ReadsNamesWithBlanksAndParentheses) {
    test::TempDir dir;
    test::FakeAgent odd(dir / "agents", "a (b) c");
    EXPECT_TRUE(Listed("a (b) c"));
}

}  // namespace
}  // namespace quorane::updater
