// Path joins and the narrow/wide conversions, beside what a caller would
// otherwise write: boost::filesystem's path append and Boost.Locale's
// conversion called directly.
#include <string>

#include <benchmark/benchmark.h>
#include <boost/filesystem/path.hpp>
#include <boost/locale/encoding_utf.hpp>

#include <quorane/Utils.h>
#include "base/Text.h"

namespace {

const std::string kBase = "/Applications/Quorane/Install";
const std::string kPart = "quoranees.app/Contents/MacOS/quoranees";
const std::wstring kWideBase = L"/Users/caf\u00e9/Library/Application Support/Quorane";
const std::string kUtf8Part =
    "donn\xC3\xA9"
    "es/r\xC3\xA9sum\xC3\xA9.json";

void BM_AppendPathToString(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(AppendPathToString(kBase, kPart));
}
BENCHMARK(BM_AppendPathToString)->Name("AppendPathToString/ours");

void BM_Anchor_FilesystemPathAppend(benchmark::State& state) {
    for (auto _ : state) {
        boost::filesystem::path joined(kBase);
        joined /= kPart;
        benchmark::DoNotOptimize(joined.string());
    }
}
BENCHMARK(BM_Anchor_FilesystemPathAppend)->Name("AppendPathToString/anchor");

void BM_AppendPath_WideNarrow(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(AppendPath(kWideBase, kUtf8Part));
}
BENCHMARK(BM_AppendPath_WideNarrow)->Name("AppendPath/ours");

void BM_Anchor_UtfToUtfThenConcat(benchmark::State& state) {
    namespace conv = boost::locale::conv;
    for (auto _ : state) {
        std::wstring joined = kWideBase;
        joined += L'/';
        joined += conv::utf_to_utf<wchar_t>(kUtf8Part, conv::skip);
        benchmark::DoNotOptimize(joined);
    }
}
BENCHMARK(BM_Anchor_UtfToUtfThenConcat)->Name("AppendPath/anchor");

void BM_NarrowForm(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(quorane::NarrowForm(kWideBase));
}
BENCHMARK(BM_NarrowForm)->Name("NarrowForm/ours");

void BM_Anchor_UtfToUtfNarrow(benchmark::State& state) {
    namespace conv = boost::locale::conv;
    for (auto _ : state) benchmark::DoNotOptimize(conv::utf_to_utf<char>(kWideBase, conv::skip));
}
BENCHMARK(BM_Anchor_UtfToUtfNarrow)->Name("NarrowForm/anchor");

}  // namespace
