// Tests of the file type detection: signatures, image and PDF recognition,
// MIME types by extension.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <quorane/Utils.h>
#include "TestSupport.h"
#include "base/Text.h"

namespace {

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

TEST(GetFileSignature, EmptyForAnythingButARegularFile) {
    TempDir dir;
    fs::create_symlink(dir / "missing", dir / "dangling");
    // Paths whose lookup fails with an error of its own rather than "not
    // there": a loop of links, and a name longer than any file system takes.
    fs::create_symlink(dir / "loop", dir / "loop");
    const std::string tooLong(300, 'n');
    for (const std::string& name : {std::string(), std::string("missing"), std::string("dangling"),
                                    std::string("loop"), tooLong}) {
        SCOPED_TRACE(name);
        const fs::path path = dir / name;
        EXPECT_EQ(GetFileSignature(path.wstring()), L"");
        EXPECT_FALSE(IsImageFile(path.string()));
        EXPECT_FALSE(IsPdf(path.string()));
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
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        WriteFile(dir / "image", c.image);
        WriteFile(dir / "near", c.nearMiss);
        EXPECT_TRUE(IsImageFile((dir / "image").string()));
        EXPECT_TRUE(IsImageFile((dir / "image").wstring()));
        EXPECT_FALSE(IsImageFile((dir / "near").string()));
        EXPECT_FALSE(IsImageFile((dir / "near").wstring()));
    }
}

TEST(IsImageFile, OnlyExistingRegularFilesAndLinksToThem) {
    TempDir dir;
    WriteFile(dir / "image.png", Bytes("\x89PNG\r\n\x1A\n"));
    WriteFile(dir / "text", "plain text");
    WriteFile(dir / "empty", "");
    fs::create_symlink(dir / "image.png", dir / "link");
    fs::create_symlink(dir / "missing", dir / "dangling");
    const std::pair<std::string, bool> cases[] = {
        {"image.png", true}, {"link", true},     {"text", false},     {"empty", false},
        {"", false},         {"missing", false}, {"dangling", false},
    };
    for (const auto& [name, expected] : cases) {
        SCOPED_TRACE(name);
        EXPECT_EQ(IsImageFile((dir / name).string()), expected);
    }
    // A wide path is cut at its first NUL character.
    EXPECT_TRUE(IsImageFile((dir / "image.png").wstring() + std::wstring(L"\0.txt", 5)));
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
    TempDir dir;
    EXPECT_FALSE(IsPdf(dir.str()));
    EXPECT_FALSE(IsPdf((dir / "missing.pdf").string()));
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
