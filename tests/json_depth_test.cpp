// Tests of JSON values nested far deeper than any stack would allow one call
// per level: the object text and the deep copy of values a million levels
// deep, run on a thread with a small stack, as a secondary thread of a
// program has. The deep values are built by RapidJSON's iterative parser,
// and checked here with loops, never with calls per level.
#include <pthread.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <quorane/Utils.h>

namespace {

using quorane::JsonAllocator;
using quorane::WideJsonValue;
using NarrowDocument = rapidjson::GenericDocument<rapidjson::UTF8<char>, JsonAllocator>;
using WideDocument = rapidjson::GenericDocument<rapidjson::UTF16<wchar_t>, JsonAllocator>;

constexpr std::size_t kLevels = 1000000;
constexpr std::size_t kSmallStack = std::size_t{256} * 1024;
constexpr unsigned kIterative = rapidjson::kParseIterativeFlag;

// Runs `body` on a thread of its own with a stack of `stackBytes`, and waits
// for it to end.
void RunOnSmallStack(const std::function<void()>& body, std::size_t stackBytes = kSmallStack) {
    pthread_attr_t attributes;
    ASSERT_EQ(pthread_attr_init(&attributes), 0);
    ASSERT_EQ(pthread_attr_setstacksize(&attributes, stackBytes), 0);
    pthread_t thread;
    const int created = pthread_create(
        &thread, &attributes,
        [](void* argument) -> void* {
            (*static_cast<const std::function<void()>*>(argument))();
            return nullptr;
        },
        const_cast<std::function<void()>*>(&body));
    pthread_attr_destroy(&attributes);
    ASSERT_EQ(created, 0);
    ASSERT_EQ(pthread_join(thread, nullptr), 0);
}

template <typename Ch>
std::basic_string<Ch> Repeated(const std::basic_string<Ch>& piece, std::size_t count) {
    std::basic_string<Ch> text;
    text.reserve(piece.size() * count);
    for (std::size_t i = 0; i < count; ++i) text += piece;
    return text;
}

// ASCII text in wide units.
std::wstring Widened(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

// `inner` inside `pairs` levels of the given opening and closing text.
std::string Nested(const std::string& open, const std::string& inner, const std::string& close,
                   std::size_t pairs) {
    return Repeated(open, pairs) + inner + Repeated(close, pairs);
}

}  // namespace

TEST(JsonValueToString, ObjectNestedAMillionLevelsOnASmallStack) {
    // The innermost object holds what the text must render exactly: a double
    // in its 22 decimals, the escapes, an array; the levels around it are
    // objects only, or objects and arrays in turn (with a key beyond ASCII,
    // which the parser reads as its character and the writer copies).
    const std::string innerSource = R"({"d":1.5,"s":"q\"\\\n\u0001","n":[-7,true,null]})";
    const std::string innerText =
        R"({"d":1.5000000000000000000000,"s":"q\"\\\n\u0001","n":[-7,true,null]})";
    struct Shape {
        const char* name;
        std::string sourceOpen;
        std::string textOpen;
        std::wstring wideOpen;
        std::string close;
        std::size_t levelsPerPiece;
    };
    const Shape shapes[] = {
        {"objects", R"({"a":)", R"({"a":)", LR"({"a":)", "}", 1},
        {"objects and arrays in turn", R"({"\u00e9":[)", "{\"\xC3\xA9\":[", L"{\"\u00e9\":[", "]}",
         2},
    };
    for (const Shape& shape : shapes) {
        SCOPED_TRACE(shape.name);
        // At least a million levels in all, the innermost object included.
        const std::size_t pieces = (kLevels - 1 + shape.levelsPerPiece - 1) / shape.levelsPerPiece;
        const std::string source = Nested(shape.sourceOpen, innerSource, shape.close, pieces);
        const std::string expected = Nested(shape.textOpen, innerText, shape.close, pieces);
        const std::wstring expectedWide = Repeated(shape.wideOpen, pieces) + Widened(innerText) +
                                          Repeated(Widened(shape.close), pieces);

        NarrowDocument narrow;
        ASSERT_FALSE(narrow.Parse<kIterative>(source.c_str()).HasParseError());
        WideDocument wide;
        ASSERT_FALSE(
            (wide.Parse<kIterative, rapidjson::UTF8<char>>(source.c_str()).HasParseError()));
        RunOnSmallStack([&] {
            // Compared whole but reported briefly: the texts are megabytes.
            const std::string fromNarrow = JsonValueToString(narrow, "default");
            EXPECT_EQ(fromNarrow.size(), expected.size());
            EXPECT_TRUE(fromNarrow == expected);
            EXPECT_TRUE(JsonValueToWideString(narrow, L"default") == expectedWide);
            EXPECT_TRUE(JsonValueToString(wide, "default") == expected);
            EXPECT_TRUE(JsonValueToWideString(wide, L"default") == expectedWide);
        });
    }
}

namespace {

// The innermost value of a chain of one-element arrays, and how many such
// arrays lead to it.
const WideJsonValue& Innermost(const WideJsonValue& value, std::size_t& levels) {
    const WideJsonValue* at = &value;
    levels = 0;
    while (at->IsArray() && at->Size() == 1) {
        at = &(*at)[0];
        ++levels;
    }
    return *at;
}

// The innermost value of the arrays below: [4294967295,"xy",{"k":0.5}].
void ExpectInnermost(const WideJsonValue& value) {
    ASSERT_TRUE(value.IsArray());
    ASSERT_EQ(value.Size(), 3u);
    EXPECT_TRUE(value[0].IsUint() && !value[0].IsInt() && value[0].GetUint() == 4294967295u);
    ASSERT_TRUE(value[1].IsString());
    EXPECT_EQ(std::wstring(value[1].GetString(), value[1].GetStringLength()), L"xy");
    ASSERT_TRUE(value[2].IsObject() && value[2].MemberCount() == 1);
    EXPECT_EQ(std::wstring(value[2].MemberBegin()->name.GetString()), L"k");
    EXPECT_TRUE(value[2].MemberBegin()->value.IsDouble());
    EXPECT_EQ(value[2].MemberBegin()->value.GetDouble(), 0.5);
}

const std::string kDeepArrays = std::string(kLevels - 1, '[') + R"([4294967295,"xy",{"k":0.5}])" +
                                std::string(kLevels - 1, ']');

std::unique_ptr<WideDocument> ParsedDeepArrays() {
    auto document = std::make_unique<WideDocument>();
    document->Parse<kIterative, rapidjson::UTF8<char>>(kDeepArrays.c_str());
    EXPECT_FALSE(document->HasParseError());
    return document;
}

}  // namespace

TEST(CopyJsonValue, ArraysNestedAMillionLevelsOnASmallStack) {
    std::unique_ptr<WideDocument> source = ParsedDeepArrays();
    ASSERT_FALSE(source->HasParseError());
    JsonAllocator allocator;
    WideJsonValue copy;
    RunOnSmallStack([&] { CopyJsonValue(copy, *source, allocator); });

    // Level by level, the copy has its own elements, none of the source's.
    const WideJsonValue* mine = &copy;
    const WideJsonValue* theirs = source.get();
    std::size_t levels = 0;
    while (theirs->IsArray() && theirs->Size() == 1) {
        ASSERT_TRUE(mine->IsArray()) << "at level " << levels;
        ASSERT_EQ(mine->Size(), 1u) << "at level " << levels;
        ASSERT_NE(&(*mine)[0], &(*theirs)[0]) << "at level " << levels;
        mine = &(*mine)[0];
        theirs = &(*theirs)[0];
        ++levels;
    }
    EXPECT_EQ(levels, kLevels - 1);
    ExpectInnermost(*mine);
    EXPECT_NE((*mine)[1].GetString(), (*theirs)[1].GetString());

    // And it is whole once the source has gone.
    source.reset();
    ExpectInnermost(Innermost(copy, levels));
    EXPECT_EQ(levels, kLevels - 1);
}

TEST(CopyJsonValue, DeepSourceInsideOrAroundItsDestination) {
    // What the destination holds afterwards: how many one-element arrays lead
    // to the innermost three-element one.
    struct Case {
        const char* name;
        bool intoInnermost;  // else from the innermost into the root
        bool ontoItself;
        std::size_t levels;
    };
    const Case cases[] = {
        {"onto itself", false, true, kLevels - 1},
        {"into its own innermost value", true, false, 2 * (kLevels - 1)},
        {"from its innermost value", false, false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::unique_ptr<WideDocument> document = ParsedDeepArrays();
        ASSERT_FALSE(document->HasParseError());
        std::size_t levels = 0;
        // The innermost value itself, not a copy: the search goes through
        // the document's own arrays.
        WideJsonValue& innermost = const_cast<WideJsonValue&>(Innermost(*document, levels));
        RunOnSmallStack([&] {
            if (c.ontoItself) {
                CopyJsonValue(*document, *document, document->GetAllocator());
            } else if (c.intoInnermost) {
                CopyJsonValue(innermost, *document, document->GetAllocator());
            } else {
                CopyJsonValue(*document, innermost, document->GetAllocator());
            }
        });
        ExpectInnermost(Innermost(*document, levels));
        EXPECT_EQ(levels, c.levels);
    }
}
