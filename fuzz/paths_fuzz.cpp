// Fuzz target of the path strings and the narrow/wide conversions under them:
// conversions that keep only scalar values and round-trip well-formed text,
// every AppendPath/AppendPathToString overload against the join rule, and
// ExtractFilePath/ConvertFilePath on any wide text.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include <quorane/Utils.h>
#include "FuzzSupport.h"
#include "base/Text.h"

namespace {

using quorane::NarrowForm;
using quorane::WideForm;
using quorane::fuzz::IsScalarText;
using quorane::fuzz::IsValidUtf8;
using quorane::fuzz::LooseWide;
using quorane::fuzz::UpToNul;

// The wide text up to its first NUL, units that are no scalar value left out.
std::wstring ScalarUnits(const std::wstring& wide) {
    std::wstring kept = UpToNul(wide);
    kept.erase(std::remove_if(kept.begin(), kept.end(),
                              [](wchar_t c) { return !IsScalarText(std::wstring(1, c)); }),
               kept.end());
    return kept;
}

void CheckWideForm(const std::string& bytes) {
    const std::string text = UpToNul(bytes);
    const std::wstring wide = WideForm(bytes);
    FUZZ_CHECK(wide == WideForm(bytes.c_str()));
    FUZZ_CHECK(IsScalarText(wide));
    // Each code point takes at least one byte, and skipping only drops bytes.
    FUZZ_CHECK(wide.size() <= text.size());
    const std::string narrow = NarrowForm(wide);
    FUZZ_CHECK(IsValidUtf8(narrow));
    FUZZ_CHECK(WideForm(narrow) == wide);
    if (IsValidUtf8(text)) {
        FUZZ_CHECK(narrow == text);
    } else {
        FUZZ_CHECK(narrow.size() < text.size());
    }
}

void CheckNarrowForm(const std::wstring& wide) {
    const std::string narrow = NarrowForm(wide);
    FUZZ_CHECK(narrow == NarrowForm(wide.c_str()));
    FUZZ_CHECK(IsValidUtf8(narrow));
    FUZZ_CHECK(narrow.find('\0') == std::string::npos);
    FUZZ_CHECK(WideForm(narrow) == ScalarUnits(wide));
}

// The join rule, stated as what its result must look like.
template <typename String>
void CheckJoined(const String& base, const String& part, const String& joined) {
    using Char = typename String::value_type;
    const Char slash = static_cast<Char>('/');
    if (base.empty()) {
        FUZZ_CHECK(joined == part);
        return;
    }
    if (part.empty()) {
        FUZZ_CHECK(joined == base);
        return;
    }
    const bool separated = base.back() != slash && part.front() != slash;
    FUZZ_CHECK(joined.size() == base.size() + part.size() + (separated ? 1 : 0));
    FUZZ_CHECK(joined.compare(0, base.size(), base) == 0);
    FUZZ_CHECK(joined.compare(joined.size() - part.size(), part.size(), part) == 0);
    if (separated) FUZZ_CHECK(joined[base.size()] == slash);
}

void CheckAppendPath(FuzzedDataProvider& input) {
    const std::string narrowBase = input.ConsumeRandomLengthString(64);
    const std::string narrowPart = input.ConsumeRemainingBytesAsString();
    const std::wstring wideBase = LooseWide(narrowBase);
    const std::wstring widePart = LooseWide(narrowPart);

    // The two core overloads work on their own kind of text, NULs and all.
    const std::string bytesJoined = AppendPathToString(narrowBase, narrowPart);
    CheckJoined(narrowBase, narrowPart, bytesJoined);
    const std::wstring unitsJoined = AppendPath(wideBase, widePart);
    CheckJoined(wideBase, widePart, unitsJoined);

    // The mixed overloads convert, then join; results are clean text.
    FUZZ_CHECK(AppendPath(narrowBase, narrowPart) == WideForm(bytesJoined));
    FUZZ_CHECK(AppendPath(narrowBase, widePart) == AppendPath(WideForm(narrowBase), widePart));
    const std::wstring mixed = AppendPath(wideBase, narrowPart);
    if (wideBase.empty()) {
        FUZZ_CHECK(mixed == WideForm(narrowPart));
    } else if (narrowPart.empty()) {
        FUZZ_CHECK(mixed == wideBase);
    } else {
        // A part whose conversion leaves nothing still gets its separator.
        const std::wstring converted = WideForm(narrowPart);
        const bool separated =
            wideBase.back() != L'/' && (converted.empty() || converted.front() != L'/');
        FUZZ_CHECK(mixed == wideBase + (separated ? L"/" : L"") + converted);
    }

    FUZZ_CHECK(AppendPathToString(wideBase, widePart) == NarrowForm(unitsJoined));
    FUZZ_CHECK(AppendPathToString(wideBase, narrowPart) == NarrowForm(mixed));
    const std::string narrowWide = AppendPathToString(narrowBase, widePart);
    FUZZ_CHECK(narrowWide == NarrowForm(AppendPath(narrowBase, widePart)));
    FUZZ_CHECK(IsValidUtf8(narrowWide));
}

void CheckFilePath(const std::wstring& path) {
    const std::wstring directory = ExtractFilePath(path);
    FUZZ_CHECK(path.compare(0, directory.size(), directory) == 0);
    const std::wstring rest = path.substr(directory.size());
    if (path.find(L'\\') != std::wstring::npos) {
        FUZZ_CHECK(!directory.empty() && directory.back() == L'\\');
        FUZZ_CHECK(rest.find(L'\\') == std::wstring::npos);
    } else if (path.find(L'/') != std::wstring::npos) {
        FUZZ_CHECK(!directory.empty() && directory.back() == L'/');
        FUZZ_CHECK(rest.find(L'/') == std::wstring::npos);
    } else {
        FUZZ_CHECK(directory.empty());
    }

    const std::wstring converted = ConvertFilePath(path);
    FUZZ_CHECK(converted.size() == path.size());
    for (std::size_t i = 0; i < path.size(); ++i) {
        FUZZ_CHECK(converted[i] == (path[i] == L'\\' ? L'/' : path[i]));
    }
    FUZZ_CHECK(ConvertFilePath(converted) == converted);
}

}  // namespace

// The input's last byte picks the check (FuzzedDataProvider takes numbers
// from the end); the rest is the text.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    switch (input.ConsumeIntegralInRange<int>(0, 3)) {
        case 0:
            CheckWideForm(input.ConsumeRemainingBytesAsString());
            break;
        case 1:
            CheckNarrowForm(LooseWide(input.ConsumeRemainingBytesAsString()));
            break;
        case 2:
            CheckAppendPath(input);
            break;
        default:
            CheckFilePath(LooseWide(input.ConsumeRemainingBytesAsString()));
            break;
    }
    return 0;
}
