// String utilities: splitting, byte interleaving, NFC composition,
// platform-string conversion and random UUID text.
#include <quorane/Utils.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <boost/lexical_cast.hpp>
#include <boost/uuid/random_generator.hpp>
#include <boost/uuid/uuid.hpp>
#include <boost/uuid/uuid_io.hpp>

#include "base/Text.h"

namespace {

// Owns a platform string made by one of the Create calls and releases it on
// every path out of the function that made it.
struct PlatformStringRelease {
    void operator()(const void* string) const { CFRelease(string); }
};
using PlatformStringHolder = std::unique_ptr<const QuoraneCFString, PlatformStringRelease>;
using MutablePlatformStringHolder = std::unique_ptr<QuoraneCFString, PlatformStringRelease>;

// Separators up to this length are searched for directly; the cost of a
// direct search grows with the separator, so longer ones get a Boyer-Moore
// searcher built once for the whole text.
constexpr size_t kDirectSearchLimit = 16;

// The text of a platform string as UTF-8, fetched into a buffer large enough
// for any text of its length; empty when the platform refuses the fetch.
std::string FetchUtf8(CFStringRef string) {
    if (string == nullptr) return {};
    const CFIndex maxBytes =
        CFStringGetMaximumSizeForEncoding(CFStringGetLength(string), kCFStringEncodingUTF8);
    if (maxBytes < 0) return {};
    std::vector<char> buffer(static_cast<size_t>(maxBytes) + 1);
    if (!CFStringGetCString(string, buffer.data(), static_cast<CFIndex>(buffer.size()),
                            kCFStringEncodingUTF8))
        return {};
    return std::string(buffer.data());
}

// Reading the whole text once more just to count its matches costs more than
// the result's growth saves, so the count comes from a leading sample and the
// vector makes room for that many fields in proportion, with some to spare;
// past a wrong guess it grows as usual. Room a large result never uses is
// never touched, and so costs no memory.
template <typename Find>
size_t ExpectedFields(const std::wstring& text, size_t separatorLength, Find find) {
    const size_t sample = std::min(text.size(), std::max<size_t>(4096, text.size() / 16));
    size_t matches = 0;
    for (size_t at = find(0); at != std::wstring::npos && at + separatorLength <= sample;
         at = find(at + separatorLength))
        ++matches;
    if (sample == text.size()) return matches + 1;
    return matches + matches / 8 + 16 + (matches * (text.size() - sample)) / sample * 9 / 8;
}

template <typename Find>
std::vector<std::wstring> SplitWith(const std::wstring& text, size_t separatorLength, Find find) {
    std::vector<std::wstring> fields;
    fields.reserve(ExpectedFields(text, separatorLength, find));
    size_t start = 0;
    for (;;) {
        const size_t match = find(start);
        if (match == std::wstring::npos) break;
        fields.emplace_back(text, start, match - start);
        start = match + separatorLength;
    }
    fields.emplace_back(text, start);
    return fields;
}

}  // namespace

std::vector<std::wstring> Split(const std::wstring& text, const std::wstring& separator) {
    // An empty separator matches everywhere without consuming anything; the
    // only answer that ends is the text as a whole.
    if (separator.empty()) return {text};

    if (separator.size() <= kDirectSearchLimit) {
        return SplitWith(text, separator.size(),
                         [&](size_t from) { return text.find(separator, from); });
    }
    const std::boyer_moore_searcher<std::wstring::const_iterator> searcher(separator.begin(),
                                                                           separator.end());
    return SplitWith(text, separator.size(), [&](size_t from) {
        const auto match = searcher(text.cbegin() + static_cast<std::ptrdiff_t>(from), text.cend());
        if (match.first == text.cend()) return std::wstring::npos;
        return static_cast<size_t>(match.first - text.cbegin());
    });
}

std::string MixString(const std::string& first, const std::string& second) {
    const size_t common = std::min(first.size(), second.size());
    std::string mixed;
    mixed.reserve(first.size() + second.size());
    for (size_t i = 0; i < common; ++i) {
        mixed.push_back(first[i]);
        mixed.push_back(second[i]);
    }
    const std::string& longer = first.size() < second.size() ? second : first;
    mixed.append(longer, common, std::string::npos);
    return mixed;
}

std::string NfdToNfc(const std::string& text) {
    // Bytes that are not UTF-8 make no platform string, and so no result.
    const PlatformStringHolder source(
        CFStringCreateWithCString(kCFAllocatorDefault, text.c_str(), kCFStringEncodingUTF8));
    if (!source) return {};
    const MutablePlatformStringHolder composed(
        CFStringCreateMutableCopy(kCFAllocatorDefault, 0, source.get()));
    if (!composed) return {};
    CFStringNormalize(composed.get(), kCFStringNormalizationFormC);
    // Composition can make the text longer in UTF-8 than its input (the
    // composition exclusions decompose, for one), so the buffer is sized for
    // the composed text rather than for the input.
    return FetchUtf8(composed.get());
}

std::string CFStringRefToUTF8(CFStringRef string) { return FetchUtf8(string); }

std::wstring CFStringRefToWide(CFStringRef string) { return quorane::WideForm(FetchUtf8(string)); }

std::string CreateUUIDString() {
    // A generator per call: it opens the random device for this UUID only and
    // lets its entropy_error through when the device fails.
    boost::uuids::random_generator_pure generator;
    return boost::lexical_cast<std::string>(generator());
}

std::wstring CreateUUIDWideString() {
    boost::uuids::random_generator_pure generator;
    return boost::lexical_cast<std::wstring>(generator());
}
