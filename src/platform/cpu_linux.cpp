// The processor's brand text from /proc/cpuinfo.
#ifndef __linux__
#error "Linux implementation of a platform seam: CMake builds another system's own there."
#endif

#include "platform/Processor.h"

#include <cerrno>
#include <cstdio>
#include <memory>
#include <string_view>

namespace quorane::platform {
namespace {

struct CloseFile {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

constexpr std::string_view kBlanks = " \t";

std::string_view TrimBlanks(std::string_view text) {
    const auto first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

// The value of the first "model name" field of a /proc/cpuinfo listing, with
// the same capacity rule and errno values as ProcessorBrandText.
std::optional<std::string> BrandTextFromCpuInfo(std::string_view cpuinfo, std::size_t capacity) {
    while (!cpuinfo.empty()) {
        const auto end = cpuinfo.find('\n');
        const std::string_view line = cpuinfo.substr(0, end);
        cpuinfo = end == std::string_view::npos ? std::string_view() : cpuinfo.substr(end + 1);

        // Lines read "model name\t: AMD EPYC 7R13 Processor".
        const auto colon = line.find(':');
        if (colon == std::string_view::npos) continue;
        if (TrimBlanks(line.substr(0, colon)) != "model name") continue;
        const std::string_view brand = TrimBlanks(line.substr(colon + 1));
        // The caller's area must also hold the terminating NUL.
        if (brand.size() + 1 > capacity) {
            errno = ENOMEM;
            return std::nullopt;
        }
        return std::string(brand);
    }
    errno = ENOENT;
    return std::nullopt;
}

// The whole listing, or nothing with the reason in `error`: it is taken
// before the file is closed, which may change errno.
std::optional<std::string> ReadCpuInfo(int& error) {
    const std::unique_ptr<std::FILE, CloseFile> file(std::fopen("/proc/cpuinfo", "re"));
    if (!file) {
        error = errno;
        return std::nullopt;
    }
    std::string content;
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file.get())) > 0) content.append(buffer, n);
    if (std::ferror(file.get())) {
        error = errno;
        return std::nullopt;
    }
    return content;
}

}  // namespace

std::optional<std::string> ProcessorBrandText(std::size_t capacity) {
    int error = 0;
    const std::optional<std::string> cpuinfo = ReadCpuInfo(error);
    if (!cpuinfo) {
        errno = error;
        return std::nullopt;
    }
    return BrandTextFromCpuInfo(*cpuinfo, capacity);
}

}  // namespace quorane::platform
