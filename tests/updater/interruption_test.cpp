// The built updater interrupted: termination requests held until the agent
// is loaded again, and SIGKILL at every filesystem step of a swap and in the
// middle of unpacking. Whatever the moment, each bundle must still be there
// complete, old or new, under its own name or a backup name.
#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "UpdaterTestSupport.h"

namespace quorane::test {
namespace {

using namespace std::chrono_literals;

// Waits up to ten seconds for `ready`; false when it never came.
template <typename Ready>
bool WaitFor(Ready ready) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!ready()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// Snapshots of a bundle as it was before a run and as its archive holds it.
struct BundleForms {
    std::map<std::string, std::string> old, fresh;
};

// The bundles of which neither the complete old nor the complete new form is
// in `install`, under the bundle's own name or a backup name; empty when
// every bundle is safe.
std::string LostBundles(const fs::path& install, const std::map<std::string, BundleForms>& forms) {
    std::string lost;
    for (const auto& [bundle, form] : forms) {
        bool found = false;
        for (fs::directory_iterator it(install), end; it != end && !found; ++it) {
            const std::string name = it->path().filename().string();
            if (name != bundle && !IsBackupNameOf(name, bundle)) continue;
            const auto now = Snapshot(it->path());
            found = now == form.old || now == form.fresh;
        }
        if (!found) lost += bundle + " ";
    }
    return lost;
}

// The form a bundle takes when made with these contents.
std::map<std::string, std::string> FormOf(const std::string& bundle, const std::string& version,
                                          const BundleFiles& more = {}) {
    TempDir staging;
    MakeBundle(staging.path(), bundle, version, more);
    return Snapshot(staging / bundle);
}

// Whether any process of the group is still alive (not a zombie).
bool GroupRunning(pid_t group) {
    std::unique_ptr<DIR, int (*)(DIR*)> proc(opendir("/proc"), closedir);
    if (!proc) return false;
    while (const dirent* entry = readdir(proc.get())) {
        const auto stat =
            platform::ParseProcessStat(ReadFile(std::string("/proc/") + entry->d_name + "/stat"));
        if (stat && stat->group == group && stat->state != 'Z' && stat->state != 'X') return true;
    }
    return false;
}

// ---------------------------------------------------------------------------
// Termination requests

class HeldSignalsTest : public UpdaterSandbox {
protected:
    void SetUp() override {
        UpdaterSandbox::SetUp();
        // Both stand-ins note the signal mask they run with; unzip waits a
        // little first, so that a request can arrive during the unpacking.
        auto noteMask = [](const std::string& who) {
            return "echo " + who + " $(sed -n 's/^SigBlk:[[:space:]]*//p' /proc/$$/status)" +
                   " >> \"$QUORANE_TEST_LOG.masks\"\n";
        };
        Tool("launchctl",
             "echo \"launchctl $*\" >> \"$QUORANE_TEST_LOG\"\n" + noteMask("launchctl"));
        Tool("unzip", noteMask("unzip") + "echo unzip >> \"$QUORANE_TEST_LOG\"\nsleep 0.3\nexec " +
                          UnzipPath() + " \"$@\"\n");
    }

    bool Logged(const std::string& line) {
        const auto lines = Log();
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }
};

TEST_F(HeldSignalsTest, RequestTakesEffectOnlyOnceTheAgentIsLoadedAgain) {
    struct Case {
        int signal;
        std::string moment;  // the logged line after which the request is sent
    };
    const std::vector<Case> cases = {{SIGHUP, "unzip"},  {SIGINT, "unzip"},  {SIGQUIT, "unzip"},
                                     {SIGTERM, "unzip"}, {SIGTERM, kUnload}, {SIGINT, kUnload}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(strsignal(c.signal)) + " after " + c.moment);
        fs::remove(dir / "log");
        fs::remove(dir / "log.masks");
        fs::remove_all(install);
        fs::create_directories(install);
        MakeOldBundles(install);
        MakeArchive(install / "both.zip", {{"quoranees.app", "es2"}, {"quoraneet.app", "et2"}});

        // The updater starts with SIGUSR1 blocked: its commands must get that
        // same mask back, not the one it holds requests with.
        Launch launch;
        launch.blocked = SIGUSR1;
        const pid_t run = Start({install.string(), "both.zip", "both.zip"}, launch);
        ASSERT_TRUE(WaitFor([&] { return Logged(c.moment); })) << "the run never got there";
        ASSERT_EQ(kill(run, c.signal), 0);
        const int status = Finish(run);

        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == c.signal) << "status " << status;
        ExpectLoadedLast(Log());
        EXPECT_EQ(BundleVersions(install), kNewVersions);
        // unzip runs with exactly the mask the updater was started with. The
        // shell that runs launchctl clears the mask for its commands anyway;
        // what matters there is that no request is blocked.
        std::istringstream masks(ReadFile(dir / "log.masks"));
        std::map<std::string, std::vector<unsigned long>> seen;
        for (std::string who, hex; masks >> who >> hex;)
            seen[who].push_back(std::stoul(hex, nullptr, 16));
        const unsigned long sigusr1 = 1ul << (SIGUSR1 - 1);
        EXPECT_EQ(seen["unzip"], std::vector<unsigned long>(2, sigusr1));
        ASSERT_EQ(seen["launchctl"].size(), 2u);
        for (unsigned long mask : seen["launchctl"]) {
            for (int held : {SIGHUP, SIGINT, SIGQUIT, SIGTERM})
                EXPECT_EQ(mask & (1ul << (held - 1)), 0u) << strsignal(held);
        }
    }
}

// ---------------------------------------------------------------------------
// SIGKILL

// The filesystem changes the updater makes itself.
const char kChanges[] = "rename,renameat,renameat2,unlink,unlinkat,rmdir";

class KilledSwapTest : public UpdaterSandbox {
protected:
    // One old bundle is a level deeper than the other, so that removing it
    // takes a few more steps.
    const BundleFiles kOldExtra = {{"Contents/Resources/a", "a1"}};

    void SetUp() override {
        UpdaterSandbox::SetUp();
        if (!StraceWorks())
            GTEST_SKIP() << "strace cannot trace the updater here (no strace, or no ptrace)";
    }

    static Launch StraceLaunch(std::vector<std::string> options) {
        Launch launch;
        // LeakSanitizer cannot work in a traced process; a sanitized build
        // runs the updater under strace without it.
        const char* asan = std::getenv("ASAN_OPTIONS");
        const std::string noLeakCheck =
            "ASAN_OPTIONS=" + std::string(asan && *asan ? std::string(asan) + ":" : "") +
            "detect_leaks=0";
        launch.wrapper = {"strace", "-qq", "-E", noLeakCheck};
        launch.wrapper.insert(launch.wrapper.end(), options.begin(), options.end());
        return launch;
    }

    // A sample install for one run: old bundles, one archive per bundle, the
    // second one damaged when the swap is to fail.
    fs::path Prepare(const std::string& name, bool damaged) {
        fs::path where = dir / name;
        fs::create_directories(where);
        MakeBundle(where, "quoranees.app", "es1", kOldExtra);
        MakeBundle(where, "quoraneet.app", "et1");
        MakeArchive(where / "es.zip", {{"quoranees.app", "es2"}});
        MakeArchive(where / "et.zip", {{"quoraneet.app", "et2"}});
        if (damaged) DamageLastEntry(where / "et.zip");
        return where;
    }

    std::map<std::string, BundleForms> Forms() {
        return {
            {"quoranees.app",
             {FormOf("quoranees.app", "es1", kOldExtra), FormOf("quoranees.app", "es2")}},
            {"quoraneet.app", {FormOf("quoraneet.app", "et1"), FormOf("quoraneet.app", "et2")}}};
    }
};

TEST_F(KilledSwapTest, KillBeforeAnyFilesystemStepLeavesEveryBundleWhole) {
    for (const bool damaged : {false, true}) {
        SCOPED_TRACE(damaged ? "swap that fails and restores" : "swap that succeeds");
        const std::string scenario = damaged ? "restore" : "replace";

        // An undisturbed run tells how many steps there are.
        const fs::path counted = Prepare(scenario + "-count", damaged);
        const fs::path trace = dir / (scenario + ".trace");
        ASSERT_EQ(Run({counted.string(), "es.zip", "et.zip"},
                      StraceLaunch({"-o", trace.string(), "-e", std::string("trace=") + kChanges})),
                  0);
        // strace counts each system call on its own, so step n is named by
        // its call and how many times that call came before.
        std::istringstream lines(ReadFile(trace));
        std::vector<std::string> calls;
        for (std::string line; std::getline(lines, line);) {
            if (line.rfind("+++", 0) != 0 && line.rfind("---", 0) != 0)
                calls.push_back(line.substr(0, line.find('(')));
        }
        RecordProperty(scenario + "_steps", static_cast<int>(calls.size()));
        // Two renames aside, the cleanup, and two renames back when restoring.
        ASSERT_GE(calls.size(), damaged ? 8u : 6u);

        // Then one run per step, killed as it starts that step: all at once,
        // since each spends a second waiting for the agent to settle.
        std::vector<std::pair<fs::path, pid_t>> runs;
        for (std::size_t step = 0; step < calls.size(); ++step) {
            const auto ordinal = std::count(
                calls.begin(), calls.begin() + static_cast<std::ptrdiff_t>(step) + 1, calls[step]);
            const fs::path where = Prepare(scenario + "-" + std::to_string(step + 1), damaged);
            const std::string inject =
                "inject=" + calls[step] + ":signal=KILL:when=" + std::to_string(ordinal);
            runs.emplace_back(where, Start({where.string(), "es.zip", "et.zip"},
                                           StraceLaunch({"-o", "/dev/null", "-e", inject})));
        }
        const auto forms = Forms();
        for (const auto& [where, pid] : runs) {
            SCOPED_TRACE(where.filename().string());
            const int status = Finish(pid);
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "status " << status;
            EXPECT_EQ(LostBundles(where, forms), "");
        }
    }
}

using KilledUnpackTest = UpdaterSandbox;

TEST_F(KilledUnpackTest, KillInTheMiddleOfUnpackingLeavesTheOldBundlesWhole) {
    // The second archive is unpacked first; it holds thousands of files.
    BundleFiles many;
    for (int i = 0; i < 5000; ++i) many["Contents/Resources/r" + std::to_string(i)] = "x";
    MakeOldBundles(install);
    MakeArchive(install / "es.zip", {{"quoranees.app", "es2"}}, many);
    MakeArchive(install / "et.zip", {{"quoraneet.app", "et2"}});
    const std::map<std::string, BundleForms> forms = {
        {"quoranees.app",
         {Snapshot(install / "quoranees.app"), FormOf("quoranees.app", "es2", many)}},
        {"quoraneet.app", {Snapshot(install / "quoraneet.app"), FormOf("quoraneet.app", "et2")}}};

    // The run and its unzip are ended together, as a power cut would end
    // them.
    Launch launch;
    launch.ownProcessGroup = true;
    const pid_t run = Start({install.string(), "et.zip", "es.zip"}, launch);
    const fs::path resources = install / "quoranees.app" / "Contents" / "Resources";
    const bool unpacking = WaitFor([&] {
        boost::system::error_code ec;
        return fs::is_directory(resources, ec) &&
               std::distance(fs::directory_iterator(resources, ec), fs::directory_iterator()) >= 20;
    });
    const std::vector<pid_t> ended = CutPower(run);
    const int status = Finish(run);
    ASSERT_TRUE(WaitFor(
        [&] { return !GroupRunning(run) && std::none_of(ended.begin(), ended.end(), Running); }));
    ASSERT_TRUE(unpacking) << "unzip never began on the large archive";
    ASSERT_TRUE(WIFSIGNALED(status));
    if (Snapshot(install / "quoranees.app") == forms.at("quoranees.app").fresh)
        GTEST_SKIP() << "unzip finished before the kill arrived";

    EXPECT_EQ(LostBundles(install, forms), "");
    // The old bundles wait under backup names: nothing of them was deleted.
    int backups = 0;
    for (fs::directory_iterator it(install), end; it != end; ++it) {
        for (const auto& [bundle, form] : forms) {
            if (IsBackupNameOf(it->path().filename().string(), bundle)) {
                ++backups;
                EXPECT_EQ(Snapshot(it->path()), form.old) << it->path();
            }
        }
    }
    EXPECT_EQ(backups, 2);
}

}  // namespace
}  // namespace quorane::test
