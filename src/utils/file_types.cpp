// File type detection: the hexadecimal signature of a file, image and PDF
// recognition by leading bytes, and the MIME type of a file name's extension.
#include <quorane/Utils.h>

#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <string>

#include <boost/filesystem.hpp>

#include "base/Text.h"
#include "platform/MimeTypes.h"
#include "utils/FileChecks.h"

namespace fs = boost::filesystem;

namespace {

constexpr size_t kSignatureSize = 576;
constexpr size_t kImageHeaderSize = 12;
constexpr const char kPdfSignature[] = "%PDF-";
constexpr size_t kPdfHeaderSize = sizeof kPdfSignature - 1;
constexpr const char kDefaultMimeType[] = "application/octet-stream";

// Bytes expected at an offset from the start of the file; a length of 0
// matches anything.
struct BytesAt {
    size_t offset;
    size_t length;
    uint8_t bytes[8];
};

// One recognised image format: every part must match. Bytes not named are not
// examined (the JPEG segment length at offsets 4 and 5, for one).
struct ImageSignature {
    BytesAt head;
    BytesAt further;
};

const ImageSignature kImageSignatures[] = {
    {{0, 2, {0x42, 0x4D}}, {}},                                            // BMP
    {{0, 6, {0x47, 0x49, 0x46, 0x38, 0x37, 0x61}}, {}},                    // GIF87a
    {{0, 6, {0x47, 0x49, 0x46, 0x38, 0x39, 0x61}}, {}},                    // GIF89a
    {{0, 8, {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A}}, {}},        // PNG
    {{0, 3, {0x49, 0x49, 0x2A}}, {}},                                      // TIFF, LE
    {{0, 4, {0x49, 0x49, 0x2B, 0x00}}, {}},                                // BigTIFF, LE
    {{0, 3, {0x4D, 0x4D, 0x2A}}, {}},                                      // "MM*"
    {{0, 4, {0x4D, 0x4D, 0x00, 0x2A}}, {}},                                // TIFF, BE
    {{0, 4, {0x4D, 0x4D, 0x00, 0x2B}}, {}},                                // BigTIFF, BE
    {{0, 4, {0xFF, 0xD8, 0xFF, 0xE0}}, {6, 4, {0x4A, 0x46, 0x49, 0x46}}},  // JPEG, JFIF
    {{0, 4, {0xFF, 0xD8, 0xFF, 0xE1}}, {6, 4, {0x45, 0x78, 0x69, 0x66}}},  // JPEG, Exif
    {{0, 4, {0xFF, 0xD8, 0xFF, 0xE8}}, {6, 6, {0x53, 0x50, 0x49, 0x46, 0x46, 0x00}}},  // SPIFF
    {{0, 5, {0xFF, 0xD8, 0xFF, 0xFE, 0x00}}, {}},  // JPEG opening with a comment
};

template <size_t N>
bool Matches(const std::array<uint8_t, N>& buffer, const BytesAt& part) {
    if (part.offset + part.length > N) return false;
    return std::memcmp(buffer.data() + part.offset, part.bytes, part.length) == 0;
}

// The content checks look only at existing regular files (links followed);
// a status query that fails counts as not one.
bool IsRegularFilePath(const std::string& path) {
    try {
        const fs::file_status status = fs::status(path);
        return fs::exists(status) && fs::is_regular_file(status);
    } catch (const fs::filesystem_error&) {
        return false;
    }
}

// The first N bytes of the file, zero where the file is shorter or the read
// fails; false when what the path leads to is no regular file by now. The
// path was checked just before, but may have been replaced since: whatever
// opened is examined on its descriptor, and a FIFO put there meanwhile
// neither holds the open up nor gets read.
template <size_t N>
bool ReadHead(const std::string& path, std::array<uint8_t, N>& buffer) {
    buffer.fill(0);
    const quorane::OpenedPath file = quorane::OpenWithoutWaiting(path);
    if (file.kind != quorane::FileKind::Regular) return false;
    // One read; a short or failed one leaves the zeros in place.
    (void)!::read(file.descriptor.get(), buffer.data(), N);
    return true;
}

}  // namespace

// NOLINTNEXTLINE(performance-unnecessary-value-param): the interface takes its arguments by value
std::wstring GetFileSignature(std::wstring path) {
    std::wstring signature;
    const std::string narrowPath = quorane::NarrowForm(path);
    if (!IsRegularFilePath(narrowPath)) return signature;
    std::array<uint8_t, kSignatureSize> buffer;
    if (!ReadHead(narrowPath, buffer)) return signature;
    static constexpr wchar_t kDigits[] = L"0123456789abcdef";
    signature.resize(2 * kSignatureSize);
    wchar_t* digit = signature.data();
    for (const uint8_t byte : buffer) {
        *digit++ = kDigits[byte >> 4];
        *digit++ = kDigits[byte & 0x0F];
    }
    return signature;
}

// NOLINTNEXTLINE(performance-unnecessary-value-param): the interface takes its arguments by value
bool IsImageFile(std::string path) {
    if (!IsRegularFilePath(path)) return false;
    std::array<uint8_t, kImageHeaderSize> buffer;
    if (!ReadHead(path, buffer)) return false;
    for (const ImageSignature& signature : kImageSignatures) {
        if (Matches(buffer, signature.head) && Matches(buffer, signature.further)) return true;
    }
    return false;
}

// NOLINTNEXTLINE(performance-unnecessary-value-param): the interface takes its arguments by value
bool IsImageFile(std::wstring path) { return IsImageFile(quorane::NarrowForm(path)); }

// NOLINTNEXTLINE(performance-unnecessary-value-param): the interface takes its arguments by value
bool IsPdf(std::string path) {
    if (!IsRegularFilePath(path)) return false;
    std::array<uint8_t, kPdfHeaderSize> buffer;
    if (!ReadHead(path, buffer)) return false;
    return std::memcmp(buffer.data(), kPdfSignature, kPdfHeaderSize) == 0;
}

// NOLINTNEXTLINE(performance-unnecessary-value-param): the interface takes its arguments by value
bool IsPdf(std::wstring path) { return IsPdf(quorane::NarrowForm(path)); }

std::string GetMimeType(std::string path) {
    const fs::path name = fs::path(path).filename();
    const std::string& text = name.native();
    // Hidden names (".profile", ".hidden.txt") are not looked up at all.
    if (!text.empty() && text[0] == '.' && text != "." && text != "..") return kDefaultMimeType;
    const std::string extension = name.extension().string();
    if (extension.empty()) return kDefaultMimeType;
    const auto mimeType = quorane::platform::MimeTypeForExtension(extension.substr(1));
    return mimeType && !mimeType->empty() ? *mimeType : kDefaultMimeType;
}

// NOLINTNEXTLINE(performance-unnecessary-value-param): the interface takes its arguments by value
std::string GetMimeType(std::wstring path) { return GetMimeType(quorane::NarrowForm(path)); }
