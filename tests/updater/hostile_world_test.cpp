// The built updater in a hostile world: archives that are not regular files,
// names that look like patterns, closed or piped standard descriptors, a
// working directory that is gone, runs that overlap, a directory swapped for
// a link while a backup is removed, and a power cut after the old bundles are
// gone. Whatever happens, the run ends, each bundle is whole, and nothing
// outside the install directory's own files is touched.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "InstallTree.h"
#include "UpdaterTestSupport.h"

namespace quorane::test {
namespace {

// A run that hangs is killed after this long and fails its test.
constexpr int kWatchdogSeconds = 60;

// Zips the whole of `tree`, links stored as links, into `archive`.
bool ZipTree(const fs::path& tree, const fs::path& archive) {
    return updater::RunProgram({"sh", "-c", "cd \"$1\" && zip -qry \"$2\" .", "sh", tree.string(),
                                archive.string()})
        .Clean();
}

class HostileWorldTest : public UpdaterSandbox {
protected:
    // The tree of a bundle made with these contents.
    static std::map<std::string, std::string> FormOf(const std::string& bundle,
                                                     const std::string& version) {
        TempDir staging;
        MakeBundle(staging.path(), bundle, version);
        return Snapshot(staging / bundle);
    }
};

TEST_F(HostileWorldTest, ArchiveThatIsNoRegularFileSkipsTheSwapAndTouchesNothing) {
    const std::vector<std::string> kinds = {"fifo", "socket", "link to a fifo", "device"};
    for (const std::string& kind : kinds) {
        SCOPED_TRACE(kind);
        FreshInstall();
        MakeArchive(install / "et.zip", {{"quoraneet.app", "et2"}});
        const fs::path special = install / "es.zip";
        if (kind == "fifo") {
            ASSERT_EQ(mkfifo(special.c_str(), 0600), 0);
        } else if (kind == "link to a fifo") {
            ASSERT_EQ(mkfifo((install / "pipe").c_str(), 0600), 0);
            fs::create_symlink("pipe", special);
        } else if (kind == "device") {
            fs::create_symlink("/dev/zero", special);
        } else {
            const int sock = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_un address{};
            address.sun_family = AF_UNIX;
            std::strncpy(address.sun_path, special.c_str(), sizeof(address.sun_path) - 1);
            ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
            close(sock);
        }
        const auto before = Snapshot(install);

        for (const bool asFirst : {true, false}) {
            SCOPED_TRACE(asFirst ? "as the first archive" : "as the second archive");
            EXPECT_EQ(RunGuarded({install.string(), asFirst ? "es.zip" : "et.zip",
                                  asFirst ? "et.zip" : "es.zip"}),
                      0);
            EXPECT_EQ(Snapshot(install), before);
        }
    }
}

TEST_F(HostileWorldTest, ArchiveTurnedIntoAFifoBetweenItsCheckAndItsOpenSkipsTheSwap) {
    // The archive is a regular file when its kind is asked and a FIFO by the
    // time it is opened: unzip must never be handed it, for it would wait for
    // a writer with the agent unloaded.
    MakeSampleInstall(install);
    auto expected = Snapshot(install);
    expected["es.zip"] = "special";
    Launch launch;
    launch.environment = RaceShimEnvironment({"QUORANE_RACE_FIFO=es.zip"});

    EXPECT_EQ(RunGuarded({install.string(), "es.zip", "et.zip"}, launch), 0);
    EXPECT_EQ(Snapshot(install), expected);
    ASSERT_FALSE(Log().empty());
    EXPECT_EQ(Log().back(), kLoad);
}

TEST_F(HostileWorldTest, LinksFromOneArchiveNeverCarryTheOtherOutOfTheInstall) {
    // The second archive, unpacked first, makes quoranees.app, or a directory
    // in it, a link to a directory outside, or makes quoranees.app a plain
    // file, or leaves beside its bundles a link that leads out; the first
    // archive's entries below it (`reach`) must never be written through it.
    // A link that stays inside its bundle, or inside the install directory,
    // is fine, and so are the user's own links. A link out that the run made
    // beside the bundles is removed with the failed update.
    const fs::path outside = dir / "outside";
    fs::create_directories(outside / "kept");
    WriteFile(outside / "kept" / "file", "precious");
    using Plant = std::function<void(const fs::path& where)>;
    auto link = [](const std::string& target, const std::string& name) {
        return [=](const fs::path& where) {
            fs::create_directories((where / name).parent_path());
            fs::create_symlink(target, where / name);
        };
    };
    struct Case {
        std::string name;
        Plant plant;          // into the second archive's tree
        std::string reach{};  // a file of the first archive, beside its bundles
        bool replaced = false;
        std::map<std::string, std::string> leftovers{};  // what stays of the second archive
        Plant userSetup{};                               // in the install directory, before the run
    };
    const std::vector<Case> cases = {
        {"bundle name is a link out", link(outside.string(), "quoranees.app")},
        {"bundle name is a file",
         [](const fs::path& staging) { WriteFile(staging / "quoranees.app", "not a bundle"); }},
        {"directory in the bundle is a link out", link(outside.string(), "quoranees.app/Contents")},
        {"directory in the bundle is a link within it",
         [](const fs::path& staging) {
             fs::create_directories(staging / "quoranees.app" / "Versions" / "A");
             fs::create_symlink("Versions/A", staging / "quoranees.app" / "Contents");
         },
         "", true},
        {"a link beside the bundles climbs out", link("../outside", "lnk"), "lnk/pwned"},
        {"a link beside the bundles is absolute", link(outside.string(), "lnk"), "lnk/pwned"},
        {"a link in a directory beside the bundles climbs out",
         link("../../outside", "Shared/lnk"),
         "Shared/lnk/pwned",
         false,
         {{"Shared", "dir/"}}},
        {"a link beside the bundles climbs after a name",
         link("Shared/../../outside", "lnk"),
         "lnk/pwned",
         false,
         {{"Shared", "dir/"}},
         [](const fs::path& where) { fs::create_directories(where / "Shared"); }},
        {"a link beside the bundles that stays in the install directory",
         link("Shared/real", "lnk"),
         "lnk/file",
         true,
         {{"Shared", "dir/"},
          {"Shared/real", "dir/"},
          {"Shared/real/file", "from es"},
          {"lnk", "-> Shared/real"}},
         [](const fs::path& where) { fs::create_directories(where / "Shared" / "real"); }},
        {"the user's own link out is left alone",
         [](const fs::path&) {},
         "",
         true,
         {{"data", "-> ../outside"}},
         [](const fs::path& where) { fs::create_symlink("../outside", where / "data"); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FreshInstall();
        if (c.userSetup) c.userSetup(install);
        const auto before = Snapshot(install);
        TempDir first;
        MakeBundle(first.path(), "quoranees.app", "es2");
        MakeBundle(first.path(), "quoraneet.app", "et2");
        if (!c.reach.empty()) {
            fs::create_directories((first / c.reach).parent_path());
            WriteFile(first / c.reach, "from es");
        }
        TempDir second;
        c.plant(second.path());
        MakeBundle(second.path(), "quoraneet.app", "et3");
        ASSERT_TRUE(ZipTree(first.path(), install / "es.zip"));
        ASSERT_TRUE(ZipTree(second.path(), install / "et.zip"));
        const auto outsideBefore = Snapshot(outside);

        EXPECT_EQ(RunGuarded({install.string(), "es.zip", "et.zip"}), 0);
        EXPECT_EQ(Snapshot(outside), outsideBefore);
        auto expected = before;
        for (const auto& [name, what] : c.leftovers) expected[name] = what;
        if (c.replaced) {
            EXPECT_EQ(BundleVersions(install), kNewVersions);
            for (const char* bundle : {"quoranees.app", "quoraneet.app"}) {
                for (auto it = expected.begin(); it != expected.end();)
                    it = it->first.rfind(bundle, 0) == 0 ? expected.erase(it) : std::next(it);
            }
            auto after = Snapshot(install);
            for (auto it = after.begin(); it != after.end();)
                it = it->first.rfind("quorane", 0) == 0 ? after.erase(it) : std::next(it);
            EXPECT_EQ(after, expected);
        } else {
            EXPECT_EQ(Snapshot(install), expected);
        }
    }
}

TEST(StaysBelow, JudgesALinkTargetByItsTextAlone) {
    const std::vector<std::string> backups = {"quoranees.app.42", "quoraneet.app.42"};
    struct Case {
        std::string target;
        std::size_t level;
        bool stays;
    };
    const Case cases[] = {
        {"a/b", 0, true},
        {"./a//b/", 0, true},
        {"..", 1, true},
        {"../..", 1, false},
        {"../x", 0, false},
        {"/etc", 3, false},
        {"", 0, false},
        {"a/../b", 1, false},  // climbs from wherever a leads
        {"quoranees.app.42", 0, false},
        {"QUORANEES.APP.42/x", 0, false},  // as a file system that folds case sees it
        {"../quoraneet.app.42", 1, false},
        {"quoranees.app.4", 0, true},
        {"quoranees.app.420", 0, true},
        {"sub/quoranees.app.42", 0, true},  // not the backup: a name below sub
        {"quoranees.app.42", 1, true},      // below the top, not the backup
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.target + " from level " + std::to_string(row.level));
        EXPECT_EQ(updater::StaysBelow(row.target, row.level, backups), row.stays);
    }
}

TEST_F(HostileWorldTest, WhateverSitsUnderABundleNameIsMovedAsideAndBroughtBack) {
    // A dangling link and a plain file under the bundle names, and archives
    // that do not bring both bundles: both entries come back as they were.
    fs::create_symlink("missing-target", install / "quoranees.app");
    WriteFile(install / "quoraneet.app", "a plain file");
    MakeArchive(install / "es.zip", {{"quoranees.app", "es2"}});
    const auto before = Snapshot(install);
    EXPECT_EQ(RunGuarded({install.string(), "es.zip", "none.zip"}), 0);
    auto expected = before;
    expected.erase("es.zip");
    EXPECT_EQ(Snapshot(install), expected);

    // Archives that bring both replace them with real bundles.
    MakeArchive(install / "es.zip", {{"quoranees.app", "es2"}, {"quoraneet.app", "et2"}});
    EXPECT_EQ(RunGuarded({install.string(), "es.zip", "none.zip"}), 0);
    EXPECT_EQ(Snapshot(install / "quoranees.app"), FormOf("quoranees.app", "es2"));
    EXPECT_EQ(Snapshot(install / "quoraneet.app"), FormOf("quoraneet.app", "et2"));
    EXPECT_EQ(EntryCount(install), 2);
}

TEST_F(HostileWorldTest, ArchiveNamesWithPatternCharactersNameOneArchiveOnly) {
    // Each named archive holds the new bundles; its neighbour, whose name the
    // pattern would also match, holds others and must stay as it is.
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"es[1].zip", "es1.zip"}, {"es?.zip", "esX.zip"}, {"e*.zip", "else.zip"}};
    for (const auto& [named, neighbour] : cases) {
        SCOPED_TRACE(named);
        FreshInstall();
        MakeArchive(install / named, {{"quoranees.app", "es2"}, {"quoraneet.app", "et2"}});
        MakeArchive(install / neighbour, {{"quoranees.app", "wrong"}, {"quoraneet.app", "wrong"}});
        const std::string neighbourBytes = ReadFile(install / neighbour);

        EXPECT_EQ(RunGuarded({install.string(), named, named}), 0);
        EXPECT_EQ(BundleVersions(install), kNewVersions);
        EXPECT_FALSE(fs::exists(install / named));
        EXPECT_EQ(ReadFile(install / neighbour), neighbourBytes);
    }
    // A missing archive whose name matches another is not unpacked either.
    FreshInstall();
    MakeArchive(install / "esX.zip", {{"quoranees.app", "wrong"}, {"quoraneet.app", "wrong"}});
    const auto before = Snapshot(install);
    EXPECT_EQ(RunGuarded({install.string(), "es?.zip", "et?.zip"}), 0);
    EXPECT_EQ(Snapshot(install), before);
}

TEST_F(HostileWorldTest, ToolsAreFoundBeforeAnythingIsUnpackedAndNeverInTheInstall) {
    // The second archive, unpacked first, holds beside its bundle an
    // executable `unzip` that notes it ran; however PATH names the install
    // directory (the working directory here), that one never unpacks the
    // first archive. A tool that is not found skips the swap.
    const fs::path marker = dir / "planted-unzip-ran";
    const fs::path fewTools = dir / "few-tools";
    fs::create_directories(fewTools);
    fs::copy_file(tools / "killall", fewTools / "killall");
    const std::string system = "/usr/local/bin:/usr/bin:/bin";
    struct Case {
        std::string scenario;
        std::string path;
        bool replaced;
        std::vector<std::string> log;  // the agent commands, when not the usual
    };
    const std::vector<Case> cases = {
        {"an empty entry first", ":" + tools.string() + ":" + system, true, {}},
        {"an empty entry last", tools.string() + ":" + system + ":", true, {}},
        {"a dot entry", ".:" + tools.string() + ":" + system, true, {}},
        {"a relative entry", "./:" + tools.string() + ":" + system, true, {}},
        {"the install directory by its absolute name",
         install.string() + ":" + tools.string() + ":" + system,
         true,
         {}},
        {"no unzip anywhere", tools.string(), false, {}},
        // Without launchctl nothing is unloaded, so nothing may be killed.
        {"no launchctl anywhere", fewTools.string() + ":" + system, false, {"-"}},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.scenario);
        FreshInstall();
        fs::remove(marker);
        MakeArchive(install / "es.zip", {{"quoranees.app", "es2"}, {"quoraneet.app", "et2"}});
        TempDir second;
        MakeBundle(second.path(), "quoraneet.app", "et3");
        WriteFile(second / "unzip", "#!/bin/sh\necho ran > '" + marker.string() + "'\nexec " +
                                        UnzipPath() + " \"$@\"\n");
        fs::permissions(second / "unzip", fs::perms(0755));
        ASSERT_TRUE(ZipTree(second.path(), install / "et.zip"));
        const auto before = Snapshot(install);
        Launch launch;
        launch.environment = {"PATH=" + row.path};
        launch.workingDirectory = install;

        EXPECT_EQ(RunGuarded({install.string(), "es.zip", "et.zip"}, launch), 0);
        EXPECT_FALSE(fs::exists(marker));
        if (row.replaced) {
            EXPECT_EQ(BundleVersions(install), kNewVersions);
        } else {
            EXPECT_EQ(Snapshot(install), before);
        }
        if (row.log.empty())
            EXPECT_EQ(Log(), Expected(1));
        else
            EXPECT_FALSE(fs::exists(dir / "log")) << ReadFile(dir / "log");
    }
}

TEST_F(HostileWorldTest, ChildrenNeverGetTheVariablesThatChangeHowTheyBehave) {
    // Each class of variables is set for the run; every program the updater
    // starts notes its environment, and unzip, the real one behind a
    // stand-in, must still unpack every name and byte as the archive holds
    // them.
    const std::string binary(256, '\r');
    struct Case {
        std::string scenario;
        std::vector<std::string> settings;
    };
    const std::vector<Case> cases = {
        {"unzip's option variables",
         {"UNZIP=-aa", "UNZIPOPT=-LL", "UNZIP_OPTS=-:", "ZIPINFO=-v", "ZIPINFOOPT=-v",
          "ZIPINFO_OPTS=-v"}},
        {"the loader's variables",
         {"LD_PRELOAD=" + (dir / "none.so").string(), "LD_AUDIT=" + (dir / "none.so").string(),
          "LD_LIBRARY_PATH=" + dir.str(), "DYLD_INSERT_LIBRARIES=x", "GLIBC_TUNABLES=x=1",
          "GCONV_PATH=" + dir.str(), "LOCPATH=" + dir.str()}},
        {"the shell's start-up variables",
         {"ENV=" + (dir / "rc").string(), "BASH_ENV=" + (dir / "rc").string(), "SHELLOPTS=xtrace",
          "BASHOPTS=x", "BASH_FUNC_echo%%=() { :; }", "IFS=/", "CDPATH=" + dir.str(),
          "POSIXLY_CORRECT=1"}},
    };
    WriteFile(dir / "rc", "echo sourced >> '" + (dir / "rc.ran").string() + "'\n");
    const std::string note = "env > \"$QUORANE_TEST_LOG.env.$(basename \"$0\")\"\n";
    Tool("unzip", note + "exec " + UnzipPath() + " \"$@\"\n");
    for (const char* tool : {"launchctl", "killall"}) {
        const std::string body = ReadFile(tools / tool);
        Tool(tool, note + body.substr(body.find('\n') + 1));
    }
    for (const Case& row : cases) {
        SCOPED_TRACE(row.scenario);
        FreshInstall();
        MakeArchive(install / "es.zip", {{"quoranees.app", "es2"}, {"quoraneet.app", "et2"}},
                    {{"Contents/Resources/Data.bin", binary}});
        Launch launch;
        launch.environment = row.settings;
        // unzip decodes names in a locale of its own, whatever the caller's.
        launch.environment.emplace_back("LC_ALL=C.UTF-8");
        EXPECT_EQ(RunGuarded({install.string(), "es.zip", "none.zip"}, launch), 0);
        EXPECT_EQ(Snapshot(install / "quoranees.app"), [&] {
            TempDir staging;
            MakeBundle(staging.path(), "quoranees.app", "es2",
                       {{"Contents/Resources/Data.bin", binary}});
            return Snapshot(staging / "quoranees.app");
        }());
        EXPECT_FALSE(fs::exists(dir / "rc.ran"));
        for (const char* tool : {"unzip", "launchctl", "killall"}) {
            SCOPED_TRACE(tool);
            const std::string seen = "\n" + ReadFile(dir / ("log.env." + std::string(tool)));
            for (const std::string& setting : row.settings) {
                const std::string name = setting.substr(0, setting.find('='));
                EXPECT_EQ(seen.find("\n" + name + "="), std::string::npos) << name;
            }
            EXPECT_NE(seen.find("\nHOME=" + home.string() + "\n"), std::string::npos);
            EXPECT_NE(seen.find("\nPATH=" + tools.string() + ":"), std::string::npos);
            if (std::string(tool) == "unzip") {
                EXPECT_NE(seen.find("\nLC_ALL=C\n"), std::string::npos);
            }
        }
    }
}

TEST_F(HostileWorldTest, ClosedDescriptorsOrAGoneWorkingDirectoryNeverReachTheNewFiles) {
    // Closed standard descriptors never become the new files' descriptors. A
    // deleted working directory only matters for a relative install
    // directory, which cannot be found then, and nothing is touched.
    struct Case {
        std::vector<int> closed;
        bool deletedWorkingDirectory;
        bool relative;
    };
    const Case cases[] = {{{0, 1}, false, false}, {{0, 1, 2}, false, false}, {{1}, false, false},
                          {{2}, false, false},    {{}, true, true},          {{}, true, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE("closed " + testing::PrintToString(c.closed) +
                     (c.deletedWorkingDirectory ? ", working directory deleted" : "") +
                     (c.relative ? ", relative install directory" : ""));
        MakeSampleInstall(install);
        const auto before = Snapshot(install);
        Launch launch;
        launch.closedDescriptors = c.closed;
        launch.deletedWorkingDirectory = c.deletedWorkingDirectory;

        EXPECT_EQ(
            RunGuarded({c.relative ? "install" : install.string(), "es.zip", "et.zip"}, launch), 0);
        if (c.relative) {
            EXPECT_EQ(Snapshot(install), before);
            continue;
        }
        EXPECT_EQ(Snapshot(install / "quoranees.app"), FormOf("quoranees.app", "es2"));
        EXPECT_EQ(Snapshot(install / "quoraneet.app"), FormOf("quoraneet.app", "et2"));
        EXPECT_EQ(EntryCount(install), 2);
    }
}

TEST_F(HostileWorldTest, FullDiskWithAPipeAsStandardInputDoesNotWaitForAnswers) {
    // As the full-disk fault test does, but unzip's question whether to go on
    // could be answered on standard input: a pipe the test holds open.
    const fs::path seed = dir / "seed", after = dir / "after";
    fs::create_directories(seed);
    MakeOldBundles(seed);
    MakeArchive(seed / "es.zip", {{"quoranees.app", "es2"}},
                {{"Contents/Resources/large", std::string(8 << 20, '\0')}});
    MakeArchive(seed / "et.zip", {{"quoraneet.app", "et2"}});
    const auto old =
        std::make_pair(Snapshot(seed / "quoranees.app"), Snapshot(seed / "quoraneet.app"));
    int input[2];
    ASSERT_EQ(pipe2(input, O_CLOEXEC), 0);
    Launch launch;
    launch.standardInput = input[0];
    launch.wrapper = SmallTmpfsWrapper(install, seed, after);

    const int status = RunGuarded({install.string(), "es.zip", "et.zip"}, launch);
    close(input[0]);
    close(input[1]);
    if (status == kNoSmallTmpfs || status == 127) GTEST_SKIP() << "cannot mount a small tmpfs here";
    EXPECT_EQ(status, 0);
    EXPECT_EQ(Snapshot(after / "quoranees.app"), old.first);
    EXPECT_EQ(Snapshot(after / "quoraneet.app"), old.second);
}

// ---------------------------------------------------------------------------
// Runs that overlap

TEST_F(HostileWorldTest, OverlappingRunsTakeTurnsAndNeverLoseABundle) {
    const auto oldEs = FormOf("quoranees.app", "es1"), newEs = FormOf("quoranees.app", "es2");
    const auto oldEt = FormOf("quoraneet.app", "et1"), newEt = FormOf("quoraneet.app", "et2");
    constexpr int kRounds = 60, kAtOnce = 12;
    for (int first = 0; first < kRounds; first += kAtOnce) {
        // kAtOnce install directories at a time, each with two or three runs
        // started a varying number of milliseconds apart.
        struct Round {
            fs::path where;
            std::vector<pid_t> runs;
        };
        std::vector<Round> rounds;
        for (int round = first; round < first + kAtOnce; ++round) {
            const fs::path where = dir / ("round" + std::to_string(round));
            MakeSampleInstall(where);
            rounds.push_back({where, {}});
        }
        const int runsPerRound = first / kAtOnce % 2 == 0 ? 2 : 3;
        for (int run = 0; run < runsPerRound; ++run) {
            for (int round = 0; round < kAtOnce; ++round) {
                Launch launch;
                launch.ownProcessGroup = true;
                rounds[round].runs.push_back(
                    Start({rounds[round].where.string(), "es.zip", "et.zip"}, launch));
            }
            usleep(static_cast<useconds_t>((first * 37 + run * 211) % 900) * 1000);
        }
        for (const Round& round : rounds) {
            SCOPED_TRACE(round.where.filename().string());
            for (const pid_t pid : round.runs) {
                const std::optional<int> status = FinishWithin(pid, kWatchdogSeconds);
                ASSERT_TRUE(status) << "a run hung";
                EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
            }
            const auto es = Snapshot(round.where / "quoranees.app");
            const auto et = Snapshot(round.where / "quoraneet.app");
            EXPECT_TRUE((es == newEs && et == newEt) || (es == oldEs && et == oldEt))
                << BundleVersions(round.where);
            for (fs::directory_iterator it(round.where), end; it != end; ++it)
                EXPECT_FALSE(IsAnyBackupName(it->path().filename().string())) << it->path();
        }
    }
}

// ---------------------------------------------------------------------------
// Someone who may write the install directory, at the worst moment

TEST_F(HostileWorldTest, DirectorySwappedForALinkDuringABackupsRemovalLeadsNowhere) {
    // The old bundle is large enough that its removal goes on well after the
    // swap; the sentinel outside mirrors its layout, so that a removal that
    // followed the link would find every name it looks for.
    BundleFiles many;
    for (int i = 0; i < 200; ++i) many["Contents/Resources/r" + std::to_string(i)] = "x";
    MakeBundle(install, "quoranees.app", "es1", many);
    MakeBundle(install, "quoraneet.app", "et1");
    MakeArchive(install / "es.zip", {{"quoranees.app", "es2"}});
    MakeArchive(install / "et.zip", {{"quoraneet.app", "et2"}});
    const fs::path sentinel = dir / "sentinel";
    MakeBundle(sentinel, "Bundle", "precious", many);
    const auto whole = Snapshot(sentinel);

    Launch launch;
    launch.environment =
        RaceShimEnvironment({"QUORANE_RACE_INSTALL=" + install.string(),
                             "QUORANE_RACE_TARGET=" + (sentinel / "Bundle" / "Contents").string()});
    EXPECT_EQ(RunGuarded({install.string(), "es.zip", "et.zip"}, launch), 0);

    EXPECT_EQ(Snapshot(sentinel), whole);
    EXPECT_EQ(BundleVersions(install), kNewVersions);
    // The race did happen: the backup kept the link it was given.
    bool raced = false;
    for (fs::directory_iterator it(install), end; it != end; ++it)
        raced = raced || fs::is_symlink(it->path() / "Contents");
    EXPECT_TRUE(raced) << "the stand-in never swapped the directory";
}

// ---------------------------------------------------------------------------
// Power cuts

class DurabilityTest : public HostileWorldTest {
protected:
    void SetUp() override {
        HostileWorldTest::SetUp();
        if (!StraceWorks())
            GTEST_SKIP() << "strace cannot trace the updater here (no strace, or no ptrace)";
    }

    // The updater's flushes, removals and renames, in order, by call name.
    std::vector<std::string> TracedSteps(bool damaged, const std::string& inject = "") {
        MakeSampleInstall(install);
        if (damaged) DamageLastEntry(install / "et.zip");
        const fs::path trace = dir / "trace";
        Launch launch;
        launch.wrapper = {"strace", "-qq", "-E", "ASAN_OPTIONS=detect_leaks=0", "-o",
                          trace.string(), "-e",
                          // One argument, split to fit the line.
                          // NOLINTNEXTLINE(bugprone-suspicious-missing-comma)
                          "trace=sync,syncfs,fsync,fdatasync,unlink,unlinkat,rmdir,rename,renameat,"
                          "renameat2"};
        if (!inject.empty()) launch.wrapper.insert(launch.wrapper.end(), {"-e", inject});
        EXPECT_EQ(RunGuarded({install.string(), "es.zip", "et.zip"}, launch), 0);
        std::vector<std::string> steps;
        std::istringstream lines(ReadFile(trace));
        for (std::string line; std::getline(lines, line);) {
            if (line.rfind("+++", 0) != 0 && line.rfind("---", 0) != 0)
                steps.push_back(line.substr(0, line.find('(')));
        }
        return steps;
    }

    static bool IsFlush(const std::string& call) {
        return call == "sync" || call == "syncfs" || call == "fsync" || call == "fdatasync";
    }
};

TEST_F(DurabilityTest, NewBundlesAreOnDiskBeforeTheFirstOldFileGoes) {
    const std::vector<std::string> steps = TracedSteps(false);
    const auto removal = std::find_if(steps.begin(), steps.end(), [](const std::string& call) {
        return call == "unlink" || call == "unlinkat" || call == "rmdir";
    });
    ASSERT_NE(removal, steps.end()) << testing::PrintToString(steps);
    EXPECT_TRUE(std::any_of(steps.begin(), removal, IsFlush)) << testing::PrintToString(steps);
    EXPECT_EQ(BundleVersions(install), kNewVersions);
}

TEST_F(DurabilityTest, RestoredNamesAreFlushedAfterTheRollbacksRenames) {
    const std::vector<std::string> steps = TracedSteps(true);
    const auto lastRename = std::find_if(steps.rbegin(), steps.rend(), [](const std::string& call) {
        return call.rfind("rename", 0) == 0;
    });
    ASSERT_NE(lastRename, steps.rend()) << testing::PrintToString(steps);
    EXPECT_TRUE(std::any_of(steps.rbegin(), lastRename, IsFlush)) << testing::PrintToString(steps);
    EXPECT_EQ(BundleVersions(install), kOldVersions);
}

TEST_F(DurabilityTest, AFlushThatFailsKeepsTheOldBundles) {
    TracedSteps(false, "inject=syncfs,fsync:error=EIO");
    EXPECT_EQ(BundleVersions(install), kOldVersions);
    EXPECT_EQ(EntryCount(install), 2);
}

}  // namespace
}  // namespace quorane::test
