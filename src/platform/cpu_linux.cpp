// The processor's brand text from /proc/cpuinfo.
#include "Processor.h"

#include <cerrno>
#include <cstdio>
#include <memory>

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

}  // namespace

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

std::optional<std::string> ProcessorBrandText(std::size_t capacity) {
    const std::unique_ptr<std::FILE, CloseFile> file(std::fopen("/proc/cpuinfo", "re"));
    if (!file) return std::nullopt;
    std::string content;
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file.get())) > 0) content.append(buffer, n);
    if (std::ferror(file.get())) return std::nullopt;  // errno is fread's
    return BrandTextFromCpuInfo(content, capacity);
}

}  // namespace quorane::platform
