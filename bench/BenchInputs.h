// Inputs the benchmarks make for themselves, deterministic from run to run,
// and the naming scheme that scripts/bench.sh reads back.
//
// Every case is registered twice under one name, "<Case>/ours/<size>" and
// "<Case>/anchor/<size>", at a large size and at one ten times smaller, so
// that the table can put our time beside the anchor's and show how the cost
// grows with the input. A case may add "<Case>/floor/<size>": the least that
// any implementation has to do, a second yardstick beside the anchor.
#ifndef QUORANE_BENCH_BENCH_INPUTS_H
#define QUORANE_BENCH_BENCH_INPUTS_H

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <benchmark/benchmark.h>

#include "base/Text.h"

// Registers `function` as "<name>/<size>" at the large size and at one ten
// times smaller; times in microseconds, wall clock.
#define QUORANE_CASE(function, name, large) \
    BENCHMARK(function)                     \
        ->Name(name)                        \
        ->Arg((large) / 10)                 \
        ->Arg(large)                        \
        ->UseRealTime()                     \
        ->Unit(benchmark::kMicrosecond)

namespace quorane::bench {

constexpr std::int64_t kMiB = 1 << 20;

// A small linear congruential generator: the same sequence on every machine,
// so that ours and the anchor (and two runs) see the same bytes.
class Draw {
public:
    explicit Draw(std::uint64_t seed) : state_(seed) {}
    std::uint32_t Next() {
        state_ = state_ * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<std::uint32_t>(state_ >> 33);
    }
    std::size_t Below(std::size_t bound) { return Next() % bound; }

private:
    std::uint64_t state_;
};

// Appends the code point as UTF-8.
inline void AppendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// Text of about `size` bytes as people type it into forms and queries: words
// of letters, digits, blanks, punctuation and characters beyond ASCII (two-,
// three- and four-byte UTF-8). Never cut inside a character.
inline std::string MixedText(std::size_t size) {
    static const char32_t kBeyondAscii[] = {U'\u00e9', U'\u00fc', U'\u00df', U'\u00f1',
                                            U'\u4e2d', U'\u6587', U'\u20ac', U'\U0001F600'};
    static const char kPunctuation[] = ".,;:!?-_~/&=+%#@$^()'\"*";
    Draw draw(42);
    std::string text;
    text.reserve(size + 4);
    while (text.size() < size) {
        const std::size_t kind = draw.Below(20);
        if (kind < 11) {
            text += static_cast<char>((draw.Below(2) ? 'a' : 'A') + draw.Below(26));
        } else if (kind < 13) {
            text += static_cast<char>('0' + draw.Below(10));
        } else if (kind < 16) {
            text += ' ';
        } else if (kind < 18) {
            text += kPunctuation[draw.Below(sizeof kPunctuation - 1)];
        } else {
            AppendUtf8(text, kBeyondAscii[draw.Below(sizeof kBeyondAscii / sizeof(char32_t))]);
        }
    }
    return text;
}

// A fresh directory under the system's temporary directory, removed with all
// it holds when the owner goes.
class ScratchDir {
public:
    ScratchDir() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "quorane-bench-XXXXXX").string();
        if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
    }
    ~ScratchDir() {
        std::error_code ignored;
        if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    // Empty when the directory could not be made.
    const std::filesystem::path& Path() const { return path_; }

private:
    std::filesystem::path path_;
};

// Wide text of exactly `units` code points, of the same mix.
inline std::wstring WideMixedText(std::size_t units) {
    std::wstring text = WideForm(MixedText(2 * units));
    text.resize(units);
    return text;
}

}  // namespace quorane::bench

#endif  // QUORANE_BENCH_BENCH_INPUTS_H
