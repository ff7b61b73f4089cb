// Application launching against a private registry: temporary XDG homes with a
// desktop entry whose command is a recording script, the default for PDF and
// gzip files. Each scenario runs in a forked child, since GIO reads the XDG
// locations once per process. No real desktop application is ever launched.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include <quorane/Utils.h>
#include "TestSupport.h"

namespace {

namespace fs = boost::filesystem;
using quorane::test::ReadFile;
using quorane::test::RunInChild;
using quorane::test::WriteFile;
using Strings = std::vector<std::string>;

std::string Lines(const Strings& items) {
    std::string text;
    for (const auto& item : items) text += item + "\n";
    return text;
}

class Launching : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(dir_ / "data/applications");
        fs::create_directories(dir_ / "config");
        // The system directories hold only the MIME database: no installed
        // application can be chosen.
        fs::create_directories(dir_ / "system");
        fs::create_symlink("/usr/share/mime", dir_ / "system/mime");
        // The recorder writes its arguments one a line, renaming the file into
        // place so that no half record is read.
        const std::string record = "'" + Path("record") + "'";
        WriteFile(recorder_, "#!/bin/sh\nprintf '%s\\n' \"$@\" > " + record + ".tmp\nmv " + record +
                                 ".tmp " + record + "\n");
        fs::permissions(recorder_, fs::owner_all);
        // With X-GIO-NoFuse, %U receives the item URLs exactly as handed over.
        WriteFile(entry_, "[Desktop Entry]\nType=Application\nName=Recorder\nExec=" +
                              recorder_.string() + " %U\nX-GIO-NoFuse=true\n");
        WriteFile(dir_ / "config/mimeapps.list",
                  "[Default Applications]\napplication/pdf=quorane-recorder.desktop\n"
                  "application/gzip=quorane-recorder.desktop\n");
        WriteFile(dir_ / "document.pdf", "%PDF-1.4\n");
        WriteFile(dir_ / "notes.txt", "text has no handler here\n");
        fs::create_directory(dir_ / "folder");
        fs::create_symlink(dir_ / "loop-b.pdf", dir_ / "loop-a.pdf");
        fs::create_symlink(dir_ / "loop-a.pdf", dir_ / "loop-b.pdf");
    }

    std::string Path(const std::string& name) const { return (dir_ / name).string(); }
    std::string Uri(const std::string& name) const { return "file://" + Path(name); }

    // What `body` returns in a child that sees only the temporary registry.
    // An alarm ends a child that outlives `alarmSeconds`.
    std::string InChild(const std::function<std::string()>& body, unsigned alarmSeconds = 60) {
        const std::optional<std::string> out = RunInChild(
            [&] {
                ::setenv("XDG_DATA_HOME", Path("data").c_str(), 1);
                ::setenv("XDG_CONFIG_HOME", Path("config").c_str(), 1);
                ::setenv("XDG_DATA_DIRS", Path("system").c_str(), 1);
                ::setenv("XDG_CONFIG_DIRS", Path("system").c_str(), 1);
                // No session bus and no display to start anything on.
                ::setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + Path("no-bus")).c_str(), 1);
                ::unsetenv("DISPLAY");
                ::unsetenv("WAYLAND_DISPLAY");
                try {
                    return body();
                } catch (const fs::filesystem_error&) {
                    return std::string("filesystem_error");
                }
            },
            alarmSeconds);
        return out ? *out : "!child";
    }

    // The recorder's arguments once it has run, "!not run" if it has not
    // within ten seconds; with `expectNone`, waits briefly for a wrongful run.
    std::string Record(bool expectNone = false) const {
        for (int attempt = 0; attempt < (expectNone ? 6 : 200); ++attempt) {
            if (fs::exists(dir_ / "record")) {
                const std::string text = ReadFile(dir_ / "record");
                return text == "\n" ? "" : text;  // printf prints one line even for no arguments
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return "!not run";
    }

    quorane::test::TempDir dir_;
    fs::path recorder_ = dir_ / "recorder.sh";
    fs::path entry_ = dir_ / "data/applications/quorane-recorder.desktop";
};

TEST_F(Launching, GetExecuteCommandFindsTheHandlerOfTheExtension) {
    const std::pair<std::wstring, std::string> cases[] = {
        // The file need not exist: only its extension is looked up.
        {L"report.final.pdf", "report.final.pdf"},
        {L"/some/dir/SCAN.PDF", "/some/dir/SCAN.PDF"},
        {L"Résumé – 履歴書.pdf",
         "R\xC3\xA9sum\xC3\xA9 \xE2\x80\x93 \xE5\xB1\xA5\xE6\xAD\xB4\xE6\x9B\xB8.pdf"},
        {L"archive.tar.gz", "archive.tar.gz"},  // gz, not tar.gz
        {L"notes.txt", ""},
        {L"noextension", ""},
        {L"folder.pdf/noextension", ""},
        {L"trailing.", ""},
        {L"data.unknownextension42", ""},
        {L"", ""},
    };
    std::string expected;
    for (const auto& [path, narrow] : cases)
        expected += narrow.empty() ? "-\n" : Lines({entry_.string(), narrow, "-"});
    const std::string out = InChild([&] {
        std::string commands;
        for (const auto& [path, narrow] : cases) commands += Lines(GetExecuteCommand(path)) + "-\n";
        return commands;
    });
    EXPECT_EQ(out, expected);
}

TEST_F(Launching, LaunchApplication) {
    WriteFile(dir_ / "two words.txt", "x");
    fs::create_symlink(dir_ / "folder", dir_ / "link-to-folder");
    WriteFile(dir_ / "link.desktop",
              "[Desktop Entry]\nType=Link\nName=L\nURL=https://a.example/\n");
    // A FIFO without a writer: the registry's loader, were it handed one,
    // would wait for a writer forever.
    ASSERT_EQ(::mkfifo(Path("fifo").c_str(), 0600), 0);
    fs::create_symlink(dir_ / "fifo", dir_ / "link-to-fifo");
    const std::string notRun = "!not run";
    struct Case {
        const char* name;
        Strings command;
        std::string answer;  // "filesystem_error" when that was thrown
        std::string record;  // the recorder's arguments
    };
    const Case cases[] = {
        // Missing items go as the URL their text spells; one that is no
        // absolute URL is left out without failing the launch.
        {"files, directories and URLs",
         {entry_.string(), Path("document.pdf"), Path("folder"), Path("link-to-folder"),
          Path("two words.txt"), "https://example.com/report?id=7", "missing.txt",
          Path("missing.pdf")},
         "true",
         Lines({Uri("document.pdf"), Uri("folder/"), Uri("link-to-folder/"), Uri("two%20words.txt"),
                "https://example.com/report?id=7"})},
        {"no items", {entry_.string()}, "true", ""},
        // Links pointing at each other: their status is a loop, not absence.
        {"an item whose status cannot be read",
         {entry_.string(), Path("loop-a.pdf")},
         "filesystem_error",
         notRun},
        {"no command", {}, "false", notRun},
        {"an empty location", {""}, "false", notRun},
        {"a text file", {Path("notes.txt")}, "false", notRun},
        {"a link entry", {Path("link.desktop")}, "false", notRun},
        {"a directory", {Path("folder"), Path("notes.txt")}, "false", notRun},
        {"a missing entry", {Path("missing.desktop")}, "false", notRun},
        {"a script", {recorder_.string(), Path("notes.txt")}, "false", notRun},
        {"a FIFO", {Path("fifo")}, "false", notRun},
        {"a link to a FIFO, with a directory",
         {Path("link-to-fifo"), Path("folder")},
         "false",
         notRun},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(dir_ / "record");
        // The alarm ends a launch that waits: the row fails with "!child".
        EXPECT_EQ(InChild([&] { return LaunchApplication(c.command) ? "true" : "false"; }, 20),
                  c.answer);
        EXPECT_EQ(Record(c.record == notRun), c.record);
    }
}

TEST_F(Launching, ExecuteFile) {
    fs::create_symlink(dir_ / "nowhere.pdf", dir_ / "dangling.pdf");
    struct Case {
        std::string path;
        bool launched;
    };
    // A handler exists for the missing and dangling PDFs but not their files;
    // the looping link's status cannot be read, and no exception escapes.
    const Case cases[] = {
        {Path("document.pdf"), true},
        {Path("missing.pdf"), false},
        {Path("dangling.pdf"), false},
        {Path("loop-a.pdf"), false},
        {Path("notes.txt"), false},
        {Path("folder"), false},
        {"", false},
    };
    for (const Case& c : cases) {
        // The flag has no effect.
        for (const bool flag : {true, false}) {
            SCOPED_TRACE(c.path + (flag ? ", true" : ", false"));
            fs::remove(dir_ / "record");
            EXPECT_EQ(
                InChild([&] { return ExecuteFile(fs::path(c.path).wstring(), flag) ? "1" : "0"; }),
                c.launched ? "1" : "0");
            EXPECT_EQ(Record(!c.launched), c.launched ? Lines({Uri("document.pdf")}) : "!not run");
        }
    }
}

}  // namespace
