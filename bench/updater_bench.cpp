// The bundle swap beside what it costs at the least: unpacking the same two
// archives with unzip alone. The difference is the backups, the checks and
// the cleanup.
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <boost/filesystem.hpp>
#include <boost/filesystem/fstream.hpp>

#include "BundleSwap.h"
#include "OutsideWorld.h"

namespace {

namespace fs = boost::filesystem;
using quorane::updater::ProgramResult;
using quorane::updater::RunProgram;

// unzip with its listing sent away, so that the terminal is not measured.
ProgramResult QuietUnzip(const std::vector<std::string>& argv,
                         const quorane::updater::ProgramSetup& setup = {}) {
    std::vector<std::string> quiet = {"sh", "-c", "exec \"$@\" >/dev/null 2>&1", "sh"};
    quiet.insert(quiet.end(), argv.begin(), argv.end());
    return RunProgram(quiet, setup);
}

void WriteFile(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    fs::ofstream(path) << text;
}

// A bundle of `files` small files.
void MakeBundle(const fs::path& dir, const std::string& name, int files) {
    for (int i = 0; i < files; ++i)
        WriteFile(dir / name / "Contents" / "Resources" / ("file" + std::to_string(i)),
                  std::string(512, static_cast<char>('a' + i % 26)));
}

// A scratch area with two archives (one bundle each) kept aside, and an
// install directory that Reset() brings back to its state before an update.
class Sample {
public:
    explicit Sample(int filesPerBundle) {
        root_ = fs::temp_directory_path() / fs::unique_path("quorane-bench-%%%%%%");
        const fs::path staging = root_ / "staging";
        for (const char* bundle : {"quoranees.app", "quoraneet.app"}) {
            MakeBundle(staging, bundle, filesPerBundle);
            RunProgram({"sh", "-c", "cd \"$1\" && zip -qr \"$2\" \"$3\"", "sh", staging.string(),
                        (root_ / (std::string(bundle) + ".zip")).string(), bundle});
        }
        filesPerBundle_ = filesPerBundle;
    }
    ~Sample() { fs::remove_all(root_); }

    std::string Install() const { return (root_ / "install").string(); }

    void Reset() const {
        fs::remove_all(Install());
        for (const char* bundle : {"quoranees.app", "quoraneet.app"}) {
            MakeBundle(Install(), bundle, filesPerBundle_);
            const std::string archive = std::string(bundle) + ".zip";
            fs::copy_file(root_ / archive, fs::path(Install()) / archive);
        }
    }

private:
    fs::path root_;
    int filesPerBundle_ = 0;
};

void BM_SwapBundles(benchmark::State& state) {
    const Sample sample(static_cast<int>(state.range(0)));
    const quorane::updater::SwapWorld world{QuietUnzip, [] { return 7; }};
    for (auto _ : state) {
        state.PauseTiming();
        sample.Reset();
        state.ResumeTiming();
        const auto outcome = quorane::updater::SwapBundles(sample.Install(), "quoranees.app.zip",
                                                           "quoraneet.app.zip", world);
        if (outcome != quorane::updater::SwapOutcome::Replaced) state.SkipWithError("not replaced");
    }
}
BENCHMARK(BM_SwapBundles)
    ->Name("SwapBundles/ours")
    ->Arg(10)
    ->Arg(200)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void BM_Anchor_UnzipAlone(benchmark::State& state) {
    const Sample sample(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        state.PauseTiming();
        sample.Reset();
        state.ResumeTiming();
        for (const char* archive : {"quoraneet.app.zip", "quoranees.app.zip"})
            QuietUnzip({"unzip", "-o", sample.Install() + "/" + archive, "-d", sample.Install()});
    }
}
BENCHMARK(BM_Anchor_UnzipAlone)
    ->Name("SwapBundles/anchor")
    ->Arg(10)
    ->Arg(200)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
