// Tests of JSON value conversion: the conversion matrix row by row for both
// flavours, number text and the classic locale, object text, transcoding,
// embedded NULs, and deep copies that outlive their source.
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <locale>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <type_traits>

#include <gtest/gtest.h>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <quorane/Utils.h>
#include "base/Text.h"

namespace {

using quorane::JsonAllocator;
using WideDocument = rapidjson::GenericDocument<rapidjson::UTF16<wchar_t>, JsonAllocator>;
using NarrowDocument = rapidjson::GenericDocument<rapidjson::UTF8<char>, JsonAllocator>;
constexpr unsigned kParse = rapidjson::kParseFullPrecisionFlag;

// The JSON text parsed into a document of each flavour; `check` runs on both.
template <typename Check>
void ForBothFlavours(const std::string& json, Check check) {
    SCOPED_TRACE(json);
    NarrowDocument narrow;
    ASSERT_FALSE(narrow.Parse<kParse>(json.c_str()).HasParseError());
    {
        SCOPED_TRACE("UTF-8 flavour");
        check(static_cast<quorane::JsonValue&>(narrow));
    }
    WideDocument wide;
    ASSERT_FALSE(wide.Parse<kParse>(quorane::WideForm(json).c_str()).HasParseError());
    {
        SCOPED_TRACE("wide flavour");
        check(static_cast<quorane::WideJsonValue&>(wide));
    }
}

template <typename Result>
struct Row {
    std::string json;
    std::optional<Result> expected;  // nullopt: the default comes back
};

// Runs one reader over a table; each row is tried with two defaults so that a
// value that merely equals the default cannot pass by accident.
template <typename Result, typename Read>
void CheckTable(const std::vector<Row<Result>>& rows, Result defaultA, Result defaultB, Read read) {
    for (const auto& row : rows) {
        ForBothFlavours(row.json, [&](auto& value) {
            EXPECT_EQ(read(value, defaultA), row.expected.value_or(defaultA));
            EXPECT_EQ(read(value, defaultB), row.expected.value_or(defaultB));
        });
    }
}

// Restores the global C++ locale when a test is done with it.
struct GlobalLocaleGuard {
    std::locale saved = std::locale::global(std::locale::classic());
    ~GlobalLocaleGuard() { std::locale::global(saved); }
};

struct CommaDecimal : std::numpunct<char> {
    char do_decimal_point() const override { return ','; }
    char do_thousands_sep() const override { return '.'; }
    std::string do_grouping() const override { return "\3"; }
};

std::string Printf(const char* format, double d) {
    char text[512];
    std::snprintf(text, sizeof text, format, d);
    return text;
}

}  // namespace

TEST(JsonValueToString, FollowsTheMatrixForBothFlavoursAndBothResults) {
    // clang-format off
    const std::vector<Row<std::string>> rows = {
        {"null", {}}, {"[]", {}}, {"[1,2]", {}}, {"false", "false"}, {"true", "true"},
        {"{}", "{}"}, {"\"text\"", "text"}, {"\"\"", ""}, {"0", "0"}, {"-5", "-5"},
        {"2147483648", "2147483648"}, {"-9223372036854775808", "-9223372036854775808"},
        {"18446744073709551615", "18446744073709551615"}, {"0.1", "0.10000000000000001"},
        {"2.5", "2.5"}, {"100.0", "100"}, {"1e21", "1e+21"}, {"-0.0", "-0"},
        {"1e-7", "9.9999999999999995e-08"}, {"18446744073709551616", "1.8446744073709552e+19"},
        {R"({"a":[1,"x\"y"]})", R"({"a":[1,"x\"y"]})"},
        {R"({"d":1.5,"e":[0.1,-2.0]})",
         R"({"d":1.5000000000000000000000,"e":[0.1000000000000000055511,-2.0000000000000000000000]})"},
        {R"( { "n" : null, "t":true, "f":false, "o":{"e":[], "o":{}}, "i":-3, "u":4294967295 } )",
         R"({"n":null,"t":true,"f":false,"o":{"e":[],"o":{}},"i":-3,"u":4294967295})"},
        {R"({"s":"\b\t\n\f\r\u0001\u001f\u007f\\\"/"})",
         "{\"s\":\"\\b\\t\\n\\f\\r\\u0001\\u001F\x7f\\\\\\\"/\"}"},
        {"{\"\xC3\xA9\":\"\xE2\x82\xAC\",\"\\u00e9\":1}",
         "{\"\xC3\xA9\":\"\xE2\x82\xAC\",\"\xC3\xA9\":1}"},
        {R"({"k":"a\u0000b"})", R"({"k":"a\u0000b"})"},
        // A key is written as a string value is: whole, its NUL escaped (the
        // text is the writer's; only the readers and the copy cut at a NUL).
        {R"({"a\u0000b":"c\u0000d","\u0000":{"x\u0000":0}})",
         R"({"a\u0000b":"c\u0000d","\u0000":{"x\u0000":0}})"},
    };
    // clang-format on
    CheckTable<std::string>(rows, "default", "",
                            [](auto& v, std::string d) { return JsonValueToString(v, d); });
    std::vector<Row<std::wstring>> wideRows;
    wideRows.reserve(rows.size());
    for (const auto& row : rows) {
        wideRows.push_back({row.json, row.expected ? std::optional(quorane::WideForm(*row.expected))
                                                   : std::nullopt});
    }
    CheckTable<std::wstring>(wideRows, L"default", L"",
                             [](auto& v, std::wstring d) { return JsonValueToWideString(v, d); });
}

TEST(JsonValueToString, DoublesMatchTheirPrintfForms) {
    // Random bit patterns reach every magnitude, "%.22f" texts of over 300
    // characters included; none of them is cut short.
    std::mt19937_64 random(7);
    std::vector<double> values = {DBL_MAX, -DBL_MAX, DBL_MIN, 1e76, 1e77, -1e100, 5e-324, 0.0};
    while (values.size() < 400) {
        const std::uint64_t bits = random();
        double d;
        std::memcpy(&d, &bits, sizeof d);
        if (std::isfinite(d)) values.push_back(d);
    }
    for (const double d : values) {
        SCOPED_TRACE(Printf("%a", d));
        NarrowDocument doc(rapidjson::kObjectType);
        rapidjson::Value number(d);
        EXPECT_EQ(JsonValueToString(number, "x"), Printf("%.17g", d));
        doc.AddMember("d", number, doc.GetAllocator());
        EXPECT_EQ(JsonValueToString(doc, "x"), "{\"d\":" + Printf("%.22f", d) + "}");
    }
}

TEST(JsonValueToString, ObjectWithHugeDoubleIsWrittenInFull) {
    WideDocument doc(rapidjson::kObjectType);
    doc.AddMember(L"big", 1e300, doc.GetAllocator());
    doc.AddMember(L"inf", HUGE_VAL, doc.GetAllocator());
    doc.AddMember(L"after", true, doc.GetAllocator());
    const std::string expected =
        "{\"big\":" + Printf("%.22f", 1e300) + ",\"inf\":inf,\"after\":true}";
    EXPECT_GT(expected.size(), 300u);
    EXPECT_EQ(JsonValueToString(doc, ""), expected);
    EXPECT_EQ(JsonValueToWideString(doc, L""), quorane::WideForm(expected));
}

TEST(JsonValueToString, NumberTextIgnoresTheGlobalLocale) {
    GlobalLocaleGuard guard;
    std::locale::global(std::locale(std::locale::classic(), new CommaDecimal));
    ForBothFlavours(R"([{"d":1.5,"i":1234567,"f":0.1},0.1,1234567])", [](auto& a) {
        EXPECT_EQ(JsonValueToString(a[0], ""),
                  R"({"d":1.5000000000000000000000,"i":1234567,"f":0.1000000000000000055511})");
        EXPECT_EQ(JsonValueToString(a[1], ""), "0.10000000000000001");
        EXPECT_EQ(JsonValueToString(a[2], ""), "1234567");
    });
    ForBothFlavours(R"(["1.5","1,5","1.000","2,5e1"])", [](auto& a) {
        EXPECT_EQ(JsonValueToFloat(a[0], -1.0f), 1.5f);
        EXPECT_EQ(JsonValueToFloat(a[1], -1.0f), -1.0f);
        EXPECT_EQ(JsonValueToInt(a[2], -1), -1);
        EXPECT_EQ(JsonValueToLong(a[2], -1), -1);
        EXPECT_EQ(JsonValueToFloat(a[3], -1.0f), -1.0f);
    });
}

TEST(JsonValueToString, TranscodesBetweenFlavours) {
    quorane::JsonValue narrow("\xC3\xA9 a\xFF");
    // The narrow reader copies bytes as they are; the wide one skips bad UTF-8.
    EXPECT_EQ(JsonValueToString(narrow, ""), "\xC3\xA9 a\xFF");
    EXPECT_EQ(JsonValueToWideString(narrow, L"d"), L"\u00E9 a");
    const wchar_t units[] = {L'\u00E9', 0xD800, L'x', 0x110000, L'\U0001F600', 0};
    quorane::WideJsonValue wide(units);
    EXPECT_EQ(JsonValueToString(wide, "d"), "\xC3\xA9x\xF0\x9F\x98\x80");
    EXPECT_EQ(JsonValueToWideString(wide, L"d"), std::wstring(units));
    // The wide parser stores an escaped character beyond U+FFFF as a surrogate
    // pair; the narrow text has the character, and only lone surrogates go.
    WideDocument doc;
    doc.Parse(LR"(["\ud83d\ude00", {"\ud83d\ude00":1}])");
    ASSERT_FALSE(doc.HasParseError());
    EXPECT_EQ(JsonValueToString(doc[0], "d"), "\xF0\x9F\x98\x80");
    EXPECT_EQ(JsonValueToString(doc[1], "d"), "{\"\xF0\x9F\x98\x80\":1}");
    const wchar_t lone[] = {L'a', 0xD83D, L'x', 0xDE00, 0xDE00, 0xD83D, 0};
    quorane::WideJsonValue loneValue(lone);
    EXPECT_EQ(JsonValueToString(loneValue, "d"), "ax");
}

// clang-format off
// The object's text as RapidJSON's own writer gives it, in its own flavour.
template <typename Value>
std::basic_string<typename Value::Ch> WriterText(const Value& value) {
    using Encoding = typename Value::EncodingType;
    rapidjson::GenericStringBuffer<Encoding> buffer;
    rapidjson::Writer<rapidjson::GenericStringBuffer<Encoding>, Encoding, Encoding> writer(buffer);
    EXPECT_TRUE(value.Accept(writer));
    return std::basic_string<typename Value::Ch>(buffer.GetString(),
                                                 buffer.GetSize() / sizeof(typename Value::Ch));
}

TEST(JsonValueToString, ObjectTextIsTheWritersWhateverItsStringsAndShape) {
    // Every escape the writer makes, text beyond ASCII, and objects whose
    // first members are no guide to the length of the rest, either way.
    std::string everyByte;
    for (int c = 1; c < 256; ++c) everyByte.push_back(static_cast<char>(c));
    std::string shortThenLong = "{\"a\":[", longThenShort = "{\"b\":[";
    for (int i = 0; i < 200; ++i) {
        shortThenLong += (i ? "," : "") + std::string(i < 40 ? "1" : "\"" + std::string(900, 'x') + "\"");
        longThenShort += (i ? "," : "") + std::string(i < 40 ? "\"" + std::string(900, 'y') + "\"" : "2");
    }
    shortThenLong += "]}";
    longThenShort += "]}";
    const std::string objects[] = {
        R"({"q\"uote":"back\\slash \" \b\f\n\r\t \u0001\u001f \u007f","":""})",
        R"({"k":"caf\u00e9 \u4e2d \ud83d\ude00","n":[null,true,false,-9223372036854775808,18446744073709551615]})",
        R"({"nul":"a\u0000b","deep":{"x":{"y":{"z":[[[]],{}]}}}})",
        shortThenLong,
        longThenShort,
    };
    for (const std::string& json : objects) {
        ForBothFlavours(json, [](auto& value) {
            using Ch = typename std::remove_reference_t<decltype(value)>::Ch;
            if constexpr (sizeof(Ch) == 1) {
                EXPECT_EQ(JsonValueToString(value, "none"), WriterText(value));
            } else {
                EXPECT_EQ(JsonValueToWideString(value, L"none"), WriterText(value));
            }
        });
    }
    // Raw bytes the parser would refuse, set directly.
    NarrowDocument document(rapidjson::kObjectType);
    document.AddMember("raw", rapidjson::Value(everyByte.c_str(), document.GetAllocator()),
                       document.GetAllocator());
    EXPECT_EQ(JsonValueToString(document, "none"), WriterText(document));
    WideDocument wide(rapidjson::kObjectType);
    std::wstring units = {L'a', static_cast<wchar_t>(0x1F600), static_cast<wchar_t>(-5), L'\x1F',
                          L'"', static_cast<wchar_t>(0x100), static_cast<wchar_t>(0xDC00)};
    wide.AddMember(quorane::WideJsonValue(L"raw", wide.GetAllocator()),
                   quorane::WideJsonValue(units.c_str(), static_cast<rapidjson::SizeType>(units.size()),
                                          wide.GetAllocator()),
                   wide.GetAllocator());
    EXPECT_EQ(JsonValueToWideString(wide, L"none"), WriterText(wide));
}

TEST(JsonValueToInt, FollowsTheMatrix) {
    CheckTable<int>({
        {"5.0", {}}, {"3000000000", {}}, {"\"42\"", 42}, {"\"42abc\"", {}}, {"\"2147483648\"", {}},
        {"\"-2147483648\"", INT_MIN}, {"2147483647", INT_MAX}, {"-2147483648", INT_MIN},
        {"-2147483649", {}}, {"\"+12\"", 12}, {"\"007\"", 7}, {"\" 5\"", {}}, {"\"5 \"", {}},
        {"\"5.0\"", {}}, {"\"1e3\"", {}}, {"\"\"", {}}, {"\"+-5\"", {}}, {"\"--5\"", {}},
        {"\"-\"", {}}, {"\"0x10\"", {}}, {"\"4\\u00002\"", 4}, {"\"\\u0664\"", {}}, {"true", {}},
        {"null", {}}, {"[1]", {}}, {"{}", {}}, {"0", 0}},
        -77, 99, [](auto& v, int d) { return JsonValueToInt(v, d); });
}

TEST(JsonValueToLong, FollowsTheMatrixLikeIntmax) {
    const std::vector<Row<std::int64_t>> rows = {
        {"-5", -5}, {"9223372036854775807", INT64_MAX}, {"9223372036854775808", {}},
        {"\"-9223372036854775808\"", INT64_MIN}, {"\"9223372036854775808\"", {}},
        {"\"-9223372036854775809\"", {}}, {"4294967295", 4294967295}, {"-2147483649", -2147483649},
        {"1.0", {}}, {"\"-0\"", 0}, {"\"+7\"", 7}, {"true", {}}, {"null", {}}, {"{}", {}}};
    CheckTable<std::int64_t>(rows, -77, 99, [](auto& v, std::int64_t d) {
        return static_cast<std::int64_t>(JsonValueToLong(v, d)); });
    CheckTable<std::int64_t>(rows, -77, 99, [](auto& v, std::int64_t d) {
        return static_cast<std::int64_t>(JsonValueToIntmax_t(v, d)); });
}

TEST(JsonValueToUIntmax_t, FollowsTheMatrix) {
    CheckTable<std::uint64_t>({
        {"-1", {}}, {"\"-1\"", UINT64_MAX}, {"18446744073709551615", UINT64_MAX},
        {"\"18446744073709551616\"", {}}, {"\"-18446744073709551615\"", 1},
        {"\"-18446744073709551616\"", {}}, {"3.0", {}}, {"0", 0}, {"\"+5\"", 5}, {"\"abc\"", {}},
        {"\"+-1\"", {}}, {"false", {}}, {"[]", {}}},
        7, 9, [](auto& v, std::uint64_t d) {
            return static_cast<std::uint64_t>(JsonValueToUIntmax_t(v, d)); });
}

TEST(JsonValueToFloat, FollowsTheMatrix) {
    CheckTable<float>({
        {"1e39", {}}, {"\"1e39\"", {}}, {"true", {}}, {"null", {}}, {"[1]", {}}, {"{}", {}},
        {"16777217", 16777216.0f}, {"\"1.5\"", 1.5f}, {"\"1e3\"", 1000.0f}, {"\" 1.5\"", {}},
        {"\"1.5x\"", {}}, {"\"1e\"", {}}, {"\"1e+\"", {}}, {"\"\"", {}}, {"\"+2.5\"", 2.5f},
        {"\"inf\"", INFINITY}, {"\"-Infinity\"", -INFINITY}, {"3.4028234663852886e38", FLT_MAX},
        {"-3.4028234663852886e38", -FLT_MAX}, {"3.4028234663852890e38", {}}, {"0.1", 0.1f},
        {"18446744073709551615", 18446744073709551615.0f},
        {"-9223372036854775808", -9223372036854775808.0f}},
        -7.0f, 9.0f, [](auto& v, float d) { return JsonValueToFloat(v, d); });
    // The not-a-number word takes any payload in parentheses, blanks and
    // letters beyond ASCII included, but nothing after them.
    ForBothFlavours("[\"NAN\",\"-nan(1)\",\"nan( \u00e9)\",\"nan(\",\"nan()x\"]", [](auto& a) {
        EXPECT_TRUE(std::isnan(JsonValueToFloat(a[0], 1.0f)));
        EXPECT_TRUE(std::isnan(JsonValueToFloat(a[1], 1.0f)));
        EXPECT_TRUE(std::isnan(JsonValueToFloat(a[2], 1.0f)));
        EXPECT_EQ(JsonValueToFloat(a[3], 1.0f), 1.0f);
        EXPECT_EQ(JsonValueToFloat(a[4], 1.0f), 1.0f);
    });
}

// A wide unit of value 0xFFFFFFFF is what a wide stream returns for its end;
// inside a string it is just a unit that no number holds, and whatever
// follows it still counts.
TEST(JsonValueToFloat, WideUnitThatLooksLikeTheStreamEndIsNoEnd) {
    JsonAllocator allocator;
    for (const std::wstring& head : {std::wstring(L"0.5"), std::wstring(L"7"), std::wstring()}) {
        std::wstring text = head;
        text.push_back(static_cast<wchar_t>(0xFFFFFFFF));
        text += L"x";
        SCOPED_TRACE(quorane::NarrowForm(head));
        quorane::WideJsonValue value(text.c_str(), static_cast<rapidjson::SizeType>(text.size()),
                                     allocator);
        EXPECT_EQ(JsonValueToFloat(value, -7.0f), -7.0f);
        EXPECT_EQ(JsonValueToInt(value, -7), -7);
        EXPECT_EQ(JsonValueToUIntmax_t(value, 9), 9u);
        text.pop_back();
        quorane::WideJsonValue last(text.c_str(), static_cast<rapidjson::SizeType>(text.size()),
                                    allocator);
        EXPECT_EQ(JsonValueToFloat(last, -7.0f), -7.0f);
    }
}

TEST(JsonValueToBool, FollowsTheMatrix) {
    CheckTable<bool>({
        {"\"FALSE\"", false}, {"\"False\"", false}, {"\"false\\u0000x\"", false}, {"\"0\"", true},
        {"\"no\"", true}, {"\"\"", true}, {"\"falsey\"", true}, {"0", {}}, {"7", true},
        {"-1", true}, {"2147483648", true}, {"null", {}}, {"{}", {}}, {"[]", {}}, {"true", true},
        {"false", false},
        // Numbers beyond 32 bits are tested by their value.
        {"0.5", true}, {"0.0", {}}, {"-0.0", {}}, {"1e300", true}, {"4294967296", true},
        {"-2147483649", true}, {"-4294967296", true}, {"18446744073709551615", true},
        {"9223372036854775808", true}},
        true, false, [](auto& v, bool d) { return JsonValueToBool(v, d); });
}
// clang-format on

TEST(JsonValueToString, StringsAreReadUpToTheirFirstNul) {
    const char bytes[] = "12\0cd";
    quorane::JsonValue narrow(bytes, 5);
    quorane::WideJsonValue wide(L"12\0cd", 5);
    EXPECT_EQ(JsonValueToString(narrow, "d"), "12");
    EXPECT_EQ(JsonValueToWideString(wide, L"d"), L"12");
    EXPECT_EQ(JsonValueToInt(narrow, -1), 12);
    EXPECT_EQ(JsonValueToUIntmax_t(wide, 0), 12u);
    // A string reference over text with no NUL right behind it is read only
    // as far as its length.
    const char unterminated[] = {'4', '2', '7', '7', '\0'};
    quorane::JsonValue reference(rapidjson::StringRef(unterminated, 2));
    EXPECT_EQ(JsonValueToString(reference, "d"), "42");
    EXPECT_EQ(JsonValueToLong(reference, -1), 42);
}

namespace {

// A document with every kind of value, nested, and the text it reads as.
const char* const kDeepJson =
    R"({"z":[1,-7,3000000000,18446744073709551615,-9223372036854775808,5.0,0.1],)"
    R"("a":{"s":"\u00e9\"\\\n","e":[],"o":{},"n":null},"t":true,"f":false,)"
    R"("z":[[[["deep"]]],{"k":[{"k":"v"}]}]})";

void ExpectSameRanges(const quorane::WideJsonValue& a, const quorane::WideJsonValue& b) {
    ASSERT_EQ(a.GetType(), b.GetType());
    if (a.IsNumber()) {
        EXPECT_EQ(a.IsInt(), b.IsInt());
        EXPECT_EQ(a.IsUint(), b.IsUint());
        EXPECT_EQ(a.IsInt64(), b.IsInt64());
        EXPECT_EQ(a.IsUint64(), b.IsUint64());
        EXPECT_EQ(a.IsDouble(), b.IsDouble());
    }
    if (a.IsArray()) {
        ASSERT_EQ(a.Size(), b.Size());
        for (rapidjson::SizeType i = 0; i < a.Size(); ++i) ExpectSameRanges(a[i], b[i]);
    }
    if (a.IsObject()) {
        ASSERT_EQ(a.MemberCount(), b.MemberCount());
        for (auto i = a.MemberBegin(), j = b.MemberBegin(); i != a.MemberEnd(); ++i, ++j) {
            ExpectSameRanges(i->value, j->value);
        }
    }
}

}  // namespace

TEST(CopyJsonValue, DeepCopyOutlivesItsSource) {
    JsonAllocator allocator;
    quorane::WideJsonValue copy(L"old");
    std::wstring sourceText;
    {
        auto source = std::make_unique<WideDocument>();
        source->Parse<kParse>(quorane::WideForm(kDeepJson).c_str());
        ASSERT_FALSE(source->HasParseError());
        // An embedded NUL ends a copied string.
        (*source)[L"a"][L"s"].SetString(L"ab\0cd", 5, source->GetAllocator());
        sourceText = JsonValueToWideString(*source, L"");
        const size_t sourceUsed = source->GetAllocator().Size();
        CopyJsonValue(copy, *source, allocator);
        EXPECT_EQ(source->GetAllocator().Size(), sourceUsed);
        EXPECT_GT(allocator.Size(), 0u);
        ExpectSameRanges(copy, *source);
        EXPECT_EQ(copy[L"a"][L"s"].GetStringLength(), 2u);
        source.reset();
    }
    // Reuse the freed memory so that anything still pointing there shows.
    std::vector<std::string> clutter(64, std::string(4096, '#'));
    std::wstring expected = sourceText;
    expected.replace(expected.find(L"ab\\u0000cd"), 10, L"ab");
    EXPECT_EQ(JsonValueToWideString(copy, L""), expected);
}

TEST(CopyJsonValue, ScalarsAndDeepNesting) {
    JsonAllocator allocator;
    for (const char* json : {"null", "true", "false", "\"\"", "-0.0", "4294967295", "[]", "{}"}) {
        SCOPED_TRACE(json);
        WideDocument source;
        source.Parse<kParse>(quorane::WideForm(json).c_str());
        quorane::WideJsonValue copy(rapidjson::kArrayType);
        CopyJsonValue(copy, source, allocator);
        ExpectSameRanges(copy, source);
        EXPECT_EQ(JsonValueToString(copy, "d"), JsonValueToString(source, "d"));
    }
    std::string deep;
    for (int i = 0; i < 300; ++i) deep += i % 2 ? "[" : "{\"k\":";
    deep += "1";
    for (int i = 299; i >= 0; --i) deep += i % 2 ? "]" : "}";
    WideDocument source;
    ASSERT_FALSE(source.Parse(quorane::WideForm(deep).c_str()).HasParseError());
    quorane::WideJsonValue copy;
    CopyJsonValue(copy, source, allocator);
    EXPECT_EQ(JsonValueToString(copy, ""), deep);
}

TEST(CopyJsonValue, StringsEndAtTheirFirstNulWhateverTheirLength) {
    // Every length up to a few groups of four units, with a NUL at every
    // place or none, as a string and as the key of a member. The source refers to text in a block
    // of exactly its length, so that reading past it shows under the address sanitizer.
    JsonAllocator allocator;
    for (size_t length = 0; length <= 21; ++length) {
        for (size_t nul = 0; nul <= length; ++nul) {
            SCOPED_TRACE("length " + std::to_string(length) + ", NUL at " + std::to_string(nul));
            const std::unique_ptr<wchar_t[]> text(new wchar_t[length]);
            for (size_t i = 0; i < length; ++i) text[i] = static_cast<wchar_t>(0x4E00 + i);
            if (nul < length) text[nul] = L'\0';
            quorane::WideJsonValue source(rapidjson::StringRef(text.get(), length));
            quorane::WideJsonValue copy;
            CopyJsonValue(copy, source, allocator);
            ASSERT_TRUE(copy.IsString());
            EXPECT_EQ(std::wstring(copy.GetString(), copy.GetStringLength()),
                      std::wstring(text.get(), nul));
            EXPECT_NE(copy.GetString(), text.get());
            // A key is cut at its first NUL as a string value is.
            quorane::WideJsonValue object(rapidjson::kObjectType);
            object.AddMember(quorane::WideJsonValue(rapidjson::StringRef(text.get(), length)),
                             quorane::WideJsonValue(rapidjson::StringRef(text.get(), length)),
                             allocator);
            quorane::WideJsonValue objectCopy;
            CopyJsonValue(objectCopy, object, allocator);
            ASSERT_EQ(objectCopy.MemberCount(), 1u);
            const auto& member = *objectCopy.MemberBegin();
            EXPECT_EQ(std::wstring(member.name.GetString(), member.name.GetStringLength()),
                      std::wstring(text.get(), nul));
            EXPECT_EQ(std::wstring(member.value.GetString(), member.value.GetStringLength()),
                      std::wstring(text.get(), nul));
            EXPECT_NE(member.name.GetString(), text.get());
        }
    }
}

TEST(CopyJsonValue, CopyOntoItselfOrIntoItsOwnPartsKeepsTheSourceWhole) {
    const std::string json = R"({"a":{"b":[1,2,"x"]},"c":"y"})";
    WideDocument doc;
    doc.Parse(quorane::WideForm(json).c_str());
    CopyJsonValue(doc, doc, doc.GetAllocator());
    EXPECT_EQ(JsonValueToString(doc, ""), json);
    CopyJsonValue(doc[L"c"], doc, doc.GetAllocator());
    EXPECT_EQ(JsonValueToString(doc, ""), R"({"a":{"b":[1,2,"x"]},"c":)" + json + "}");
    CopyJsonValue(doc, doc[L"a"], doc.GetAllocator());
    EXPECT_EQ(JsonValueToString(doc, ""), R"({"b":[1,2,"x"]})");
}
