// Splitting and NFC composition beside Boost's iter_split and ICU's
// normaliser called directly.
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <boost/algorithm/string/finder.hpp>
#include <boost/algorithm/string/iter_find.hpp>
#include <unicode/bytestream.h>
#include <unicode/normalizer2.h>

#include <quorane/Utils.h>
#include "BenchInputs.h"

namespace {

using quorane::bench::AppendUtf8;
using quorane::bench::Draw;
using quorane::bench::kMiB;

const std::wstring kSeparator = L"::";

// `units` code points in fields of letters and digits split by kSeparator:
// 500,000 fields for 8 Mi code points (fields of 14 or 15 characters), and
// as many per code point at any other size.
std::wstring FieldText(std::size_t units) {
    const std::size_t fields = units * 500000 / (8 * kMiB);
    const std::size_t fieldUnits = units - (fields - 1) * kSeparator.size();
    Draw draw(7);
    std::wstring text;
    text.reserve(units);
    for (std::size_t i = 0; i < fields; ++i) {
        if (i > 0) text += kSeparator;
        const std::size_t length = (i + 1) * fieldUnits / fields - i * fieldUnits / fields;
        for (std::size_t j = 0; j < length; ++j)
            text +=
                static_cast<wchar_t>(draw.Below(3) ? L'a' + draw.Below(26) : L'0' + draw.Below(10));
    }
    return text;
}

void SplitOurs(benchmark::State& state) {
    const std::wstring text = FieldText(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) benchmark::DoNotOptimize(Split(text, kSeparator));
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

void SplitAnchor(benchmark::State& state) {
    const std::wstring text = FieldText(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        std::vector<std::wstring> fields;
        boost::algorithm::iter_split(fields, text, boost::algorithm::first_finder(kSeparator));
        benchmark::DoNotOptimize(fields);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

// Decomposed (NFD) UTF-8 text of about `size` bytes: Latin words whose
// accented letters are a base letter and combining marks, blanks, and Korean
// syllables spelled as conjoining jamo (leading, vowel, sometimes trailing).
std::string DecomposedText(std::size_t size) {
    static const char32_t kMarks[] = {0x0300, 0x0301, 0x0302, 0x0303, 0x0308, 0x030A, 0x0327};
    Draw draw(11);
    std::string text;
    text.reserve(size + 16);
    while (text.size() < size) {
        const std::size_t kind = draw.Below(10);
        if (kind < 5) {
            AppendUtf8(text, U'a' + static_cast<char32_t>(draw.Below(26)));
            AppendUtf8(text, kMarks[draw.Below(sizeof kMarks / sizeof(char32_t))]);
        } else if (kind < 8) {
            AppendUtf8(text, U'a' + static_cast<char32_t>(draw.Below(26)));
        } else if (kind < 9) {
            text += ' ';
        } else {
            AppendUtf8(text, 0x1100 + static_cast<char32_t>(draw.Below(19)));
            AppendUtf8(text, 0x1161 + static_cast<char32_t>(draw.Below(21)));
            if (draw.Below(2)) AppendUtf8(text, 0x11A8 + static_cast<char32_t>(draw.Below(27)));
        }
    }
    return text;
}

void NfdToNfcOurs(benchmark::State& state) {
    const std::string text = DecomposedText(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) benchmark::DoNotOptimize(NfdToNfc(text));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

void NfdToNfcAnchor(benchmark::State& state) {
    const std::string text = DecomposedText(static_cast<std::size_t>(state.range(0)));
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
    for (auto _ : state) {
        std::string composed;
        icu::StringByteSink<std::string> sink(&composed, static_cast<int32_t>(text.size()));
        nfc->normalizeUTF8(0, text, sink, nullptr, status);
        benchmark::DoNotOptimize(composed);
    }
    if (U_FAILURE(status)) state.SkipWithError("ICU could not compose the text");
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

QUORANE_CASE(SplitOurs, "Split/ours", 8 * kMiB);
QUORANE_CASE(SplitAnchor, "Split/anchor", 8 * kMiB);
QUORANE_CASE(NfdToNfcOurs, "NfdToNfc/ours", kMiB);
QUORANE_CASE(NfdToNfcAnchor, "NfdToNfc/anchor", kMiB);

}  // namespace
