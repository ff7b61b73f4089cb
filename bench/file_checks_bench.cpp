// Counting the regular files of a tree beside a std::filesystem walk.
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>

#include <benchmark/benchmark.h>

#include "BenchInputs.h"
#include "Utils.h"
#include "base/Text.h"

namespace {

namespace fs = std::filesystem;
using quorane::bench::ScratchDir;

constexpr int kFilesPerDirectory = 10;
constexpr int kDirectoriesPerGroup = 50;

// A tree of `files` empty files, ten in each of files / 10 directories: groups
// of one directory holding 49 subdirectories. Made once per size and shared by
// ours and the anchor.
const fs::path& Tree(std::int64_t files) {
    static std::map<std::int64_t, std::unique_ptr<ScratchDir>> trees;
    std::unique_ptr<ScratchDir>& tree = trees[files];
    if (tree) return tree->Path();
    tree = std::make_unique<ScratchDir>();
    const std::int64_t directories = files / kFilesPerDirectory;
    for (std::int64_t d = 0; d < directories && !tree->Path().empty(); ++d) {
        const fs::path group = tree->Path() / ("group" + std::to_string(d / kDirectoriesPerGroup));
        const std::int64_t inGroup = d % kDirectoriesPerGroup;
        const fs::path dir = inGroup == 0 ? group : group / ("dir" + std::to_string(inGroup));
        fs::create_directories(dir);
        for (int f = 0; f < kFilesPerDirectory; ++f)
            std::ofstream(dir / ("file" + std::to_string(f) + ".dat"));
    }
    return tree->Path();
}

void GetFileCountOurs(benchmark::State& state) {
    const std::wstring root = quorane::WideForm(Tree(state.range(0)).string());
    for (auto _ : state) {
        int32_t counter = 0;
        GetFileCount(root, counter);
        if (counter != state.range(0)) state.SkipWithError("wrong count");
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

void GetFileCountAnchor(benchmark::State& state) {
    const fs::path& root = Tree(state.range(0));
    for (auto _ : state) {
        std::int64_t counter = 0;
        for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root))
            counter += entry.is_regular_file();
        if (counter != state.range(0)) state.SkipWithError("wrong count");
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

QUORANE_CASE(GetFileCountOurs, "GetFileCount/ours", 20000);
QUORANE_CASE(GetFileCountAnchor, "GetFileCount/anchor", 20000);

}  // namespace
