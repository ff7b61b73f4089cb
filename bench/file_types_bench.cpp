// The hexadecimal signature of files beside reading them with open, read and
// close and rendering the bytes through a table of hexadecimal digits.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include <quorane/Utils.h>
#include "BenchInputs.h"
#include "base/Text.h"

namespace {

namespace fs = std::filesystem;
using quorane::bench::Draw;
using quorane::bench::ScratchDir;

constexpr std::size_t kSignatureBytes = 576;

struct SmallFiles {
    ScratchDir dir;
    std::vector<std::string> paths;
    std::vector<std::wstring> widePaths;
};

// `count` files of 200 to 1,200 bytes (most longer than a signature, some
// shorter), made once per count and shared by ours and the anchor.
const SmallFiles& Files(std::int64_t count) {
    static std::map<std::int64_t, std::unique_ptr<SmallFiles>> made;
    std::unique_ptr<SmallFiles>& files = made[count];
    if (files) return *files;
    files = std::make_unique<SmallFiles>();
    Draw draw(5);
    for (std::int64_t i = 0; i < count && !files->dir.Path().empty(); ++i) {
        const fs::path path = files->dir.Path() / ("document" + std::to_string(i) + ".bin");
        std::string content(200 + draw.Below(1000), '\0');
        for (char& byte : content) byte = static_cast<char>(draw.Next());
        std::ofstream(path, std::ios::binary) << content;
        files->paths.push_back(path.string());
        files->widePaths.push_back(quorane::WideForm(path.string()));
    }
    return *files;
}

void GetFileSignatureOurs(benchmark::State& state) {
    const SmallFiles& files = Files(state.range(0));
    for (auto _ : state) {
        for (const std::wstring& path : files.widePaths) {
            std::wstring signature = GetFileSignature(path);
            if (signature.size() != 2 * kSignatureBytes) state.SkipWithError("no signature");
            benchmark::DoNotOptimize(signature);
        }
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

std::wstring ReadSignature(const std::string& path) {
    static constexpr wchar_t kDigits[] = L"0123456789abcdef";
    unsigned char buffer[kSignatureBytes] = {};
    const int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0) return {};
    benchmark::DoNotOptimize(::read(fd, buffer, sizeof buffer));
    ::close(fd);
    std::wstring signature;
    signature.reserve(2 * kSignatureBytes);
    for (const unsigned char byte : buffer) {
        signature.push_back(kDigits[byte >> 4]);
        signature.push_back(kDigits[byte & 0x0F]);
    }
    return signature;
}

void GetFileSignatureAnchor(benchmark::State& state) {
    const SmallFiles& files = Files(state.range(0));
    for (auto _ : state) {
        for (const std::string& path : files.paths) {
            std::wstring signature = ReadSignature(path);
            if (signature.size() != 2 * kSignatureBytes) state.SkipWithError("no signature");
            benchmark::DoNotOptimize(signature);
        }
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

QUORANE_CASE(GetFileSignatureOurs, "GetFileSignature/ours", 2000);
QUORANE_CASE(GetFileSignatureAnchor, "GetFileSignature/anchor", 2000);

}  // namespace
