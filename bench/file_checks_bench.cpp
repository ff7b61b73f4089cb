// Counting the regular files of a tree beside a std::filesystem walk and
// beside the floor: the least that any walk has to ask of the system; on a
// shallow tree and on one deeper than the walk keeps open.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>

#include <benchmark/benchmark.h>

#include <quorane/Utils.h>
#include "BenchInputs.h"
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

// A tree of `files` empty files, ten in each directory, the directories in
// chains 30 deep: deeper than the walk keeps open, so that it climbs back
// through ".." most of the way.
const fs::path& DeepTree(std::int64_t files) {
    constexpr std::int64_t kChainDepth = 30;
    static std::map<std::int64_t, std::unique_ptr<ScratchDir>> trees;
    std::unique_ptr<ScratchDir>& tree = trees[files];
    if (tree) return tree->Path();
    tree = std::make_unique<ScratchDir>();
    const std::int64_t directories = files / kFilesPerDirectory;
    fs::path dir;
    for (std::int64_t d = 0; d < directories && !tree->Path().empty(); ++d) {
        dir = d % kChainDepth == 0 ? tree->Path() / ("chain" + std::to_string(d / kChainDepth))
                                   : dir / "d";
        fs::create_directories(dir);
        for (int f = 0; f < kFilesPerDirectory; ++f)
            std::ofstream(dir / ("file" + std::to_string(f) + ".dat"));
    }
    return tree->Path();
}

using TreeMaker = const fs::path& (*)(std::int64_t);

void CountOurs(benchmark::State& state, TreeMaker tree) {
    const std::wstring root = quorane::WideForm(tree(state.range(0)).string());
    for (auto _ : state) {
        int32_t counter = 0;
        GetFileCount(root, counter);
        if (counter != state.range(0)) state.SkipWithError("wrong count");
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

void CountAnchor(benchmark::State& state, TreeMaker tree) {
    const fs::path& root = tree(state.range(0));
    for (auto _ : state) {
        std::int64_t counter = 0;
        for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root))
            counter += entry.is_regular_file();
        if (counter != state.range(0)) state.SkipWithError("wrong count");
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

// The floor walk: every directory opened relative to its parent (openat,
// fdopendir) and listed with readdir, the kind of an entry taken from the
// listing, a status asked only for links and entries of unknown kind. No
// paths, no error reports; takes `directory` and closes it.
std::int64_t FloorCount(int directory) {
    DIR* listing = ::fdopendir(directory);
    if (listing == nullptr) {
        ::close(directory);
        return 0;
    }
    std::int64_t count = 0;
    // The stream is this function's own; no other thread reads it.
    // NOLINTNEXTLINE(concurrency-mt-unsafe)
    while (const dirent* entry = ::readdir(listing)) {
        const char* name = entry->d_name;
        if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
        unsigned char kind = entry->d_type;
        struct stat info {};
        if (kind == DT_UNKNOWN) {
            if (::fstatat(::dirfd(listing), name, &info, AT_SYMLINK_NOFOLLOW) != 0) continue;
            kind = IFTODT(info.st_mode);
        }
        if (kind == DT_REG) {
            ++count;
        } else if (kind == DT_LNK) {
            // Counts when it leads to a regular file; never descended into.
            if (::fstatat(::dirfd(listing), name, &info, 0) == 0 && S_ISREG(info.st_mode)) ++count;
        } else if (kind == DT_DIR) {
            const int below =
                ::openat(::dirfd(listing), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (below >= 0) count += FloorCount(below);
        }
    }
    ::closedir(listing);
    return count;
}

void CountFloor(benchmark::State& state, TreeMaker tree) {
    const fs::path& root = tree(state.range(0));
    for (auto _ : state) {
        const int directory = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (FloorCount(directory) != state.range(0)) state.SkipWithError("wrong count");
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

void GetFileCountOurs(benchmark::State& state) { CountOurs(state, Tree); }
void GetFileCountAnchor(benchmark::State& state) { CountAnchor(state, Tree); }
void GetFileCountFloor(benchmark::State& state) { CountFloor(state, Tree); }
void GetFileCountDeepOurs(benchmark::State& state) { CountOurs(state, DeepTree); }
void GetFileCountDeepAnchor(benchmark::State& state) { CountAnchor(state, DeepTree); }
void GetFileCountDeepFloor(benchmark::State& state) { CountFloor(state, DeepTree); }

QUORANE_CASE(GetFileCountOurs, "GetFileCount/ours", 20000);
QUORANE_CASE(GetFileCountAnchor, "GetFileCount/anchor", 20000);
QUORANE_CASE(GetFileCountFloor, "GetFileCount/floor", 20000);
QUORANE_CASE(GetFileCountDeepOurs, "GetFileCountDeep/ours", 20000);
QUORANE_CASE(GetFileCountDeepAnchor, "GetFileCountDeep/anchor", 20000);
QUORANE_CASE(GetFileCountDeepFloor, "GetFileCountDeep/floor", 20000);

}  // namespace
