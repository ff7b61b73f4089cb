// Agent shutdown and restart, driven with instant stand-ins; the process scan
// against real processes.
#include <algorithm>
#include <chrono>
#include <map>
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

// Records every command, pause and scan; the scans answer from a script, and
// so do the commands: each started and exited 0 unless `notStarted` or
// `notFound` names it (for as many of its runs as the count says).
struct RecordingWorld {
    std::vector<std::string> events;
    std::vector<std::vector<std::string>> scans = {{}};  // answers in turn; the last one repeats
    std::map<std::string, int> notStarted, notFound;

    AgentWorld World() {
        return AgentWorld{
            [this](const std::string& command) {
                events.push_back(command);
                ProgramResult result;
                for (auto* failing : {&notStarted, &notFound}) {
                    auto it = failing->find(command);
                    if (it == failing->end() || it->second == 0) continue;
                    --it->second;
                    result.ending = failing == &notFound ? ProgramResult::Ending::NotFound
                                                         : ProgramResult::Ending::NotStarted;
                    return result;
                }
                result.ending = ProgramResult::Ending::Exited;
                return result;
            },
            [this] {
                events.emplace_back("<scan>");
                const std::size_t done = std::count(events.begin(), events.end(), "<scan>");
                return scans[std::min(done, scans.size()) - 1];
            },
            [this](unsigned seconds) {
                events.push_back("<sleep " + std::to_string(seconds) + ">");
            },
            [this](unsigned milliseconds) {
                events.push_back("<pause " + std::to_string(milliseconds) + ">");
            },
        };
    }
};

const std::string kUnload = "launchctl unload ~/Library/LaunchAgents/com.quorane.quoranees.plist";
const std::string kLoad = "launchctl load -w ~/Library/LaunchAgents/com.quorane.quoranees.plist";
const std::vector<std::string> kKills = {"killall 9 quoraneet", "killall 9 quoranees",
                                         "killall -9 quoraneet", "killall -9 quoranees"};

std::vector<std::string> Repeated(const std::vector<std::string>& part, int times) {
    std::vector<std::string> all;
    for (int i = 0; i < times; ++i) all = Concat({all, part});
    return all;
}

TEST(StopAgent, RunsTheSequenceAndWaitsWithinItsBudget) {
    struct Case {
        const char* scenario;
        std::vector<std::vector<std::string>> scans;
        std::map<std::string, int> notStarted, notFound;
        std::vector<std::string> events;
        bool stopped;
    };
    const Case cases[] = {
        {"an absent agent is checked once, after the settling pause",
         {{"launchd", "bash"}},
         {},
         {},
         Concat({{kUnload}, kKills, {"<sleep 1>", "<scan>"}}),
         true},
        // 10 checks, 11 kill sequences, 11 pauses; then the update goes on.
        {"an agent that never stops uses the whole budget",
         {{"quoraneet"}},
         {},
         {},
         Concat({{kUnload},
                 kKills,
                 {"<sleep 1>"},
                 Repeated(Concat({{"<scan>", "<sleep 1>"}, kKills}), 10)}),
         true},
        {"the wait ends at the first check that finds no agent",
         {{"quoranees"}, {"quoraneet", "x"}, {"x"}},
         {},
         {},
         Concat({{kUnload},
                 kKills,
                 {"<sleep 1>", "<scan>", "<sleep 1>"},
                 kKills,
                 {"<scan>", "<sleep 1>"},
                 kKills,
                 {"<scan>"}}),
         true},
        // The agent may still run, so nothing else is done and the swap waits.
        {"an unload that cannot be started", {{}}, {{kUnload, 1}}, {}, {kUnload}, false},
        {"an unload whose tool was not found", {{}}, {}, {{kUnload, 1}}, {kUnload}, false},
        // The rest of the sequence is run all the same.
        {"a kill that cannot be started",
         {{}},
         {{kKills[1], 1}},
         {},
         Concat({{kUnload}, kKills}),
         false},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.scenario);
        RecordingWorld recorder;
        recorder.scans = row.scans;
        recorder.notStarted = row.notStarted;
        recorder.notFound = row.notFound;
        EXPECT_EQ(StopAgent(recorder.World()), row.stopped);
        EXPECT_EQ(recorder.events, row.events);
    }
}

TEST(StartAgent, LoadsWithTheEnableFlagAndRetriesOnlyWhatCouldNotStart) {
    // Pauses of 10 ms doubling up to a second, until they add up to a minute.
    std::vector<std::string> retries;
    unsigned paused = 0;
    for (unsigned pause = 10; paused < 60000; pause = std::min(pause * 2, 1000u)) {
        retries = Concat({retries, {"<pause " + std::to_string(pause) + ">", kLoad}});
        paused += pause;
    }
    const int attempts = static_cast<int>(retries.size() / 2) + 1;
    struct Case {
        const char* scenario;
        int notStarted, notFound;
        std::vector<std::string> events;
        bool started;
    };
    const Case cases[] = {
        {"a load that starts at once", 0, 0, {kLoad}, true},
        {"a load that starts at the third attempt",
         2,
         0,
         {kLoad, "<pause 10>", kLoad, "<pause 20>", kLoad},
         true},
        {"a load that never starts is given up after a minute of pauses", attempts + 5, 0,
         Concat({{kLoad}, retries}), false},
        {"a load that starts at the last attempt", attempts - 1, 0, Concat({{kLoad}, retries}),
         true},
        {"a tool that was not found is not retried", 0, 1, {kLoad}, false},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.scenario);
        RecordingWorld recorder;
        recorder.notStarted[kLoad] = row.notStarted;
        recorder.notFound[kLoad] = row.notFound;
        EXPECT_EQ(StartAgent(recorder.World()), row.started);
        EXPECT_EQ(recorder.events, row.events);
    }
    EXPECT_LE(retries.size() / 2, 80u) << "no more than a minute of pauses of up to a second";
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
        AgentWorld world{nullptr, [&] { return names; }, nullptr, nullptr};
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
