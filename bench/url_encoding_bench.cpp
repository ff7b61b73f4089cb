// URL and form encoding beside what a caller would otherwise use: libcurl's
// escaping for the percent coders, and a plain appending loop for the form
// encoder.
#include <cstdlib>
#include <string>

#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include <quorane/Utils.h>
#include "BenchInputs.h"
#include "base/Text.h"

namespace {

using quorane::bench::kMiB;
using quorane::bench::MixedText;
using quorane::bench::WideMixedText;

void SetBytes(benchmark::State& state) {
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

void URLEncodeOurs(benchmark::State& state) {
    const std::string text = MixedText(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        char* encoded = URLEncode(text.c_str());
        benchmark::DoNotOptimize(encoded);
        std::free(encoded);
    }
    SetBytes(state);
}

void URLEncodeAnchor(benchmark::State& state) {
    const std::string text = MixedText(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        // No handle is needed for escaping since curl 7.82.
        char* encoded = curl_easy_escape(nullptr, text.data(), static_cast<int>(text.size()));
        benchmark::DoNotOptimize(encoded);
        curl_free(encoded);
    }
    SetBytes(state);
}

// Both decoders read the same encoded text: ours, which escapes more bytes
// than curl's does and so gives both of them more escapes to undo.
std::string EncodedText(std::size_t size) {
    char* encoded = URLEncode(MixedText(size).c_str());
    std::string text(encoded);
    std::free(encoded);
    return text;
}

void URLDecodeOurs(benchmark::State& state) {
    const std::string encoded = EncodedText(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        char* decoded = URLDecode(encoded.c_str());
        benchmark::DoNotOptimize(decoded);
        std::free(decoded);
    }
    SetBytes(state);
}

void URLDecodeAnchor(benchmark::State& state) {
    const std::string encoded = EncodedText(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        int length = 0;
        char* decoded =
            curl_easy_unescape(nullptr, encoded.data(), static_cast<int>(encoded.size()), &length);
        benchmark::DoNotOptimize(decoded);
        curl_free(decoded);
    }
    SetBytes(state);
}

void PostDataEncodeOurs(benchmark::State& state) {
    const std::wstring text = WideMixedText(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) benchmark::DoNotOptimize(PostDataEncode(text));
    SetBytes(state);
}

// What a caller writes without the library: one pass appending to a result
// reserved for the worst case.
std::wstring AppendingPostDataEncode(const std::wstring& text) {
    std::wstring out;
    out.reserve(3 * text.size());
    for (const wchar_t c : text) {
        switch (c) {
            case L' ':
                out += L"%20";
                break;
            case L'#':
                out += L"%23";
                break;
            case L'$':
                out += L"%24";
                break;
            case L'%':
                out += L"%25";
                break;
            case L'&':
                out += L"%26";
                break;
            case L'+':
                out += L"%2B";
                break;
            case L'@':
                out += L"%40";
                break;
            case L'^':
                out += L"%5E";
                break;
            default:
                out += c;
        }
    }
    return out;
}

void PostDataEncodeAnchor(benchmark::State& state) {
    const std::wstring text = WideMixedText(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) benchmark::DoNotOptimize(AppendingPostDataEncode(text));
    SetBytes(state);
}

QUORANE_CASE(URLEncodeOurs, "URLEncode/ours", kMiB);
QUORANE_CASE(URLEncodeAnchor, "URLEncode/anchor", kMiB);
QUORANE_CASE(URLDecodeOurs, "URLDecode/ours", kMiB);
QUORANE_CASE(URLDecodeAnchor, "URLDecode/anchor", kMiB);
QUORANE_CASE(PostDataEncodeOurs, "PostDataEncode/ours", kMiB);
QUORANE_CASE(PostDataEncodeAnchor, "PostDataEncode/anchor", kMiB);

}  // namespace
