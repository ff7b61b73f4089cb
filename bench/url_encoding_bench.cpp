// URL and form encoding beside straightforward std::string coders of the same
// rules, the way a caller without this library would write them.
#include <cctype>
#include <cstdlib>
#include <string>

#include <benchmark/benchmark.h>

#include "Text.h"
#include "Utils.h"

namespace {

// Query-string text: letters, digits, blanks, punctuation and UTF-8.
std::string SampleText(std::size_t size) {
    static const std::string kPiece =
        "name=J\xC3\xBCrgen M\xC3\xBCller&q=price < 100% + tax?page=2#top/path_to-file~1.txt ";
    std::string text;
    while (text.size() < size) text += kPiece;
    text.resize(size);
    return text;
}

std::string AnchorEncode(const std::string& text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const unsigned char c : text) {
        if (std::isalnum(c) || c == '.' || c == '@') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 0x0F];
        }
    }
    return out;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    return std::toupper(static_cast<unsigned char>(c)) - 'A' + 10;
}

std::string AnchorDecode(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
        } else if (i + 1 < text.size() && std::isxdigit(static_cast<unsigned char>(text[i + 1]))) {
            if (i + 2 < text.size() && std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
                out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
                i += 2;
            } else {
                i += 1;
            }
        }
    }
    return out;
}

std::wstring AnchorPostDataEncode(const std::wstring& text) {
    std::wstring out;
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

void SetBytes(benchmark::State& state) {
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_URLEncode(benchmark::State& state) {
    const std::string text = SampleText(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        char* encoded = URLEncode(text.c_str());
        benchmark::DoNotOptimize(encoded);
        std::free(encoded);
    }
    SetBytes(state);
}

void BM_URLEncode_StdStringAnchor(benchmark::State& state) {
    const std::string text = SampleText(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) benchmark::DoNotOptimize(AnchorEncode(text));
    SetBytes(state);
}

void BM_URLDecode(benchmark::State& state) {
    char* encoded = URLEncode(SampleText(static_cast<std::size_t>(state.range(0))).c_str());
    for (auto _ : state) {
        char* decoded = URLDecode(encoded);
        benchmark::DoNotOptimize(decoded);
        std::free(decoded);
    }
    std::free(encoded);
    SetBytes(state);
}

void BM_URLDecode_StdStringAnchor(benchmark::State& state) {
    const std::string encoded = AnchorEncode(SampleText(static_cast<std::size_t>(state.range(0))));
    for (auto _ : state) benchmark::DoNotOptimize(AnchorDecode(encoded));
    SetBytes(state);
}

void BM_PostDataEncode(benchmark::State& state) {
    const std::wstring text =
        quorane::WideForm(SampleText(static_cast<std::size_t>(state.range(0))));
    for (auto _ : state) benchmark::DoNotOptimize(PostDataEncode(text));
    SetBytes(state);
}

void BM_PostDataEncode_StdStringAnchor(benchmark::State& state) {
    const std::wstring text =
        quorane::WideForm(SampleText(static_cast<std::size_t>(state.range(0))));
    for (auto _ : state) benchmark::DoNotOptimize(AnchorPostDataEncode(text));
    SetBytes(state);
}

}  // namespace

BENCHMARK(BM_URLEncode)->Range(64, 16384);
BENCHMARK(BM_URLEncode_StdStringAnchor)->Range(64, 16384);
BENCHMARK(BM_URLDecode)->Range(64, 16384);
BENCHMARK(BM_URLDecode_StdStringAnchor)->Range(64, 16384);
BENCHMARK(BM_PostDataEncode)->Range(64, 16384);
BENCHMARK(BM_PostDataEncode_StdStringAnchor)->Range(64, 16384);
