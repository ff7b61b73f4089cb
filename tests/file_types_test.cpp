// Tests of the file type detection: signatures, image and PDF recognition,
// MIME types by extension.
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <quorane/Utils.h>
#include "TestSupport.h"
#include "base/Text.h"
#include "utils/FileChecks.h"

namespace {

using quorane::test::RunInChild;
using quorane::test::TempDir;
using quorane::test::WriteFile;
namespace fs = boost::filesystem;

// The bytes of a literal, embedded NULs included.
template <size_t N>
std::string Bytes(const char (&literal)[N]) {
    return std::string(literal, N - 1);
}

TEST(GetFileSignature, RendersTheFirst576BytesZeroFilled) {
    struct Case {
        const char* name;
        std::string content;
        std::wstring expected;
    };
    const Case cases[] = {
        {"three bytes", "abc", L"616263" + std::wstring(1146, L'0')},
        {"empty", "", std::wstring(1152, L'0')},
        {"leading zero digit", Bytes("\x0A\xFF"), L"0aff" + std::wstring(1148, L'0')},
        {"longer than the buffer", std::string(576, 'A') + std::string(424, 'B'),
         [] {
             std::wstring hex;
             for (int i = 0; i < 576; ++i) hex += L"41";
             return hex;
         }()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        WriteFile(dir / "f", c.content);
        fs::create_symlink(dir / "f", dir / "link");
        EXPECT_EQ(GetFileSignature((dir / "f").wstring()), c.expected);
        EXPECT_EQ(GetFileSignature((dir / "link").wstring()), c.expected);
    }
}

TEST(ContentChecks, NegativeAtOnceForAnythingButARegularFile) {
    TempDir dir;
    fs::create_symlink(dir / "missing", dir / "dangling");
    // Paths whose lookup fails with an error of its own rather than "not
    // there": a loop of links, and a name longer than any file system takes.
    fs::create_symlink(dir / "loop", dir / "loop");
    fs::create_directory(dir / "folder");
    // A FIFO without a writer: opened as a file is, it would wait for one.
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    fs::create_symlink(dir / "fifo", dir / "fifo-link");
    struct Case {
        std::string name;
        // Replaced over and over, by a FIFO and by an empty file, while it is
        // checked: a FIFO put there after a check of the path must not hold
        // the open up. Answers about a moving target may be either; only
        // that they all come counts.
        bool swapped = false;
    };
    const Case cases[] = {
        {""},       {"missing"}, {"dangling"},  {"loop"},         {std::string(300, 'n')},
        {"folder"}, {"fifo"},    {"fifo-link"}, {"swapped", true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path path = dir / c.name;
        // In a child with an alarm, so that a check that waits fails the row
        // instead of hanging the suite. One letter per answer that is not
        // the negative one.
        const auto answers = RunInChild(
            [&] {
                std::atomic<bool> done{false};
                std::thread swapper;
                if (c.swapped) {
                    swapper = std::thread([&] {
                        const fs::path fifo = dir / "swap-fifo", file = dir / "swap-file";
                        while (!done) {
                            ::mkfifo(fifo.c_str(), 0600);
                            ::rename(fifo.c_str(), path.c_str());
                            WriteFile(file, "");
                            ::rename(file.c_str(), path.c_str());
                        }
                    });
                }
                // A swap between the check and the open is met about once
                // in 20,000 calls; the time bound keeps a slow run (under
                // valgrind, say) clear of the alarm.
                const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
                std::string wrong;
                for (int round = 0; round < (c.swapped ? 20000 : 1); ++round) {
                    if (c.swapped && std::chrono::steady_clock::now() > end) break;
                    if (!GetFileSignature(path.wstring()).empty()) wrong += 'S';
                    if (IsImageFile(path.string())) wrong += 'I';
                    if (IsImageFile(path.wstring())) wrong += 'i';
                    if (IsPdf(path.string())) wrong += 'P';
                    if (IsPdf(path.wstring())) wrong += 'p';
                    // The open step alone, as a path that passed the check
                    // and was then swapped for a FIFO or a directory meets it.
                    const quorane::OpenedPath opened = quorane::OpenWithoutWaiting(path.string());
                    if (opened.kind == quorane::FileKind::Regular || opened.descriptor.valid())
                        wrong += 'O';
                }
                done = true;
                if (swapper.joinable()) swapper.join();
                return c.swapped ? std::string() : wrong;
            },
            10);
        EXPECT_EQ(answers.value_or("a check waited"), "");
    }
}

TEST(IsImageFile, EveryRowAndItsNearMiss) {
    struct Case {
        const char* name;
        std::string image, nearMiss;
    };
    const Case cases[] = {
        {"BMP", "BM", "BN"},
        {"GIF87a", "GIF87a", "GIF87b"},
        {"GIF89a", "GIF89a", "GIF88a"},
        {"PNG", Bytes("\x89PNG\r\n\x1A\n"), Bytes("\x89PNG\r\n\x1A\x0B")},
        {"TIFF LE", "II*", "II)"},
        {"BigTIFF LE", Bytes("II+\0\x08\0"), Bytes("II+\x01")},
        {"MM*", "MM*\x01", "MM)"},
        {"TIFF BE", Bytes("MM\0*"), Bytes("MM\0)")},
        {"BigTIFF BE", Bytes("MM\0+"), Bytes("MM\0,")},
        {"JFIF", Bytes("\xFF\xD8\xFF\xE0\x12\x34JFIF\x99"), Bytes("\xFF\xD8\xFF\xE0\0\x10JFIG")},
        {"Exif", Bytes("\xFF\xD8\xFF\xE1\0\0Exif\0\0"), Bytes("\xFF\xD8\xFF\xE1\0\0JFIF\0\0")},
        {"SPIFF", Bytes("\xFF\xD8\xFF\xE8\0\0SPIFF\0"), Bytes("\xFF\xD8\xFF\xE8\0\0SPIFF!")},
        {"JPEG comment", Bytes("\xFF\xD8\xFF\xFE\0\x05"), Bytes("\xFF\xD8\xFF\xFE\x01")},
        // Bytes past the end of a short file count as zero.
        {"padded BigTIFF", "II+", "I"},
        {"padded comment", "\xFF\xD8\xFF\xFE", "\xFF\xD8\xFF"},
        {"plain text", Bytes("\x89PNG\r\n\x1A\n"), "plain text"},
        {"empty", "GIF89a", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        WriteFile(dir / "image", c.image);
        WriteFile(dir / "near", c.nearMiss);
        fs::create_symlink(dir / "image", dir / "link");
        EXPECT_TRUE(IsImageFile((dir / "image").string()));
        EXPECT_TRUE(IsImageFile((dir / "image").wstring()));
        EXPECT_TRUE(IsImageFile((dir / "link").string()));
        // A wide path is cut at its first NUL character.
        EXPECT_TRUE(IsImageFile((dir / "image").wstring() + std::wstring(L"\0.txt", 5)));
        EXPECT_FALSE(IsImageFile((dir / "near").string()));
        EXPECT_FALSE(IsImageFile((dir / "near").wstring()));
    }
}

TEST(IsPdf, NeedsTheFiveSignatureBytes) {
    const std::pair<std::string, bool> cases[] = {
        {"%PDF-1.7\n", true}, {"%PDF-", true}, {"%PDF1.7", false},
        {" %PDF-1.7", false}, {"%PDF", false}, {"", false},
    };
    for (const auto& [content, expected] : cases) {
        SCOPED_TRACE(content);
        TempDir dir;
        WriteFile(dir / "f", content);
        EXPECT_EQ(IsPdf((dir / "f").string()), expected);
        EXPECT_EQ(IsPdf((dir / "f").wstring()), expected);
    }
}

TEST(GetMimeType, ExtensionLookedUpInTheSharedMimeDatabase) {
    const std::string fallback = "application/octet-stream";
    const std::pair<std::string, std::string> cases[] = {
        {"/tmp/report.pdf", "application/pdf"},
        {"/tmp/archive.tar.gz", "application/gzip"},  // only the last extension counts
        {"relative/picture.png", "image/png"},
        {"/tmp/REPORT.PDF", "application/pdf"},
        {"/tmp/file.zzqqxunknown", fallback},
        {"/tmp/.profile", fallback},
        {"/tmp/.hidden.txt", fallback},
        {"/tmp/noextension", fallback},
        {"/tmp/dir/", fallback},
        {"/tmp/ends.with.dot.", fallback},
        {"/tmp/..", fallback},
        {"", fallback},
        {"/tmp/bad.\xFF\xFE", fallback},
    };
    for (const auto& [path, expected] : cases) {
        SCOPED_TRACE(path);
        EXPECT_EQ(GetMimeType(path), expected);
        EXPECT_EQ(GetMimeType(quorane::WideForm(path)), expected);
    }
}

}  // namespace
