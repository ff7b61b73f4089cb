// JSON object text and deep copy beside RapidJSON's own writer and CopyFrom.
#include <cstddef>
#include <cstdint>
#include <string>

#include <benchmark/benchmark.h>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <quorane/Utils.h>
#include "BenchInputs.h"

namespace {

using quorane::bench::AppendUtf8;
using quorane::bench::Draw;
using quorane::bench::kMiB;

using Document = rapidjson::GenericDocument<rapidjson::UTF8<char>, quorane::JsonAllocator>;
using WideDocument = rapidjson::GenericDocument<rapidjson::UTF16<wchar_t>, quorane::JsonAllocator>;

// A string of the kind records hold: words, now and then a quotation mark,
// a backslash, a line break or a character beyond ASCII (all within the
// Basic Multilingual Plane, so that both flavours hold the same text).
std::string RecordText(Draw& draw) {
    static const char32_t kSpecial[] = {U'"', U'\\', U'\n', U'\t', U'\u00e9', U'\u4e2d', U'/'};
    std::string text;
    const std::size_t length = 4 + draw.Below(28);
    for (std::size_t i = 0; i < length; ++i) {
        const std::size_t kind = draw.Below(16);
        if (kind == 0) {
            AppendUtf8(text, kSpecial[draw.Below(sizeof kSpecial / sizeof(char32_t))]);
        } else if (kind < 3) {
            text += ' ';
        } else {
            text += static_cast<char>('a' + draw.Below(26));
        }
    }
    return text;
}

// Compact JSON text of about `size` bytes: an object holding an array of
// records (objects of strings, integers of every range, a nested object and
// an array of integers and strings), and a few members of its own.
std::string DocumentText(std::size_t size) {
    Draw draw(3);
    Document document;
    auto& allocator = document.GetAllocator();
    document.SetObject();
    rapidjson::Value records(rapidjson::kArrayType);
    std::size_t approximate = 0;
    for (int id = 0; approximate < size; ++id) {
        rapidjson::Value record(rapidjson::kObjectType);
        record.AddMember("id", id, allocator);
        const std::string name = RecordText(draw);
        record.AddMember("name", rapidjson::Value(name.c_str(), allocator), allocator);
        record.AddMember("size", static_cast<std::int64_t>(draw.Next()) * 1000003, allocator);
        record.AddMember("offset", -static_cast<int>(draw.Below(100000)), allocator);
        record.AddMember("hash", static_cast<std::uint64_t>(draw.Next()) << 32 | draw.Next(),
                         allocator);
        rapidjson::Value owner(rapidjson::kObjectType);
        const std::string user = RecordText(draw);
        owner.AddMember("user", rapidjson::Value(user.c_str(), allocator), allocator);
        owner.AddMember("uid", static_cast<int>(draw.Below(65536)), allocator);
        record.AddMember("owner", owner, allocator);
        rapidjson::Value tags(rapidjson::kArrayType);
        for (std::size_t t = draw.Below(5); t > 0; --t) {
            const std::string tag = RecordText(draw);
            tags.PushBack(rapidjson::Value(tag.c_str(), allocator), allocator);
            tags.PushBack(static_cast<int>(draw.Below(1000)), allocator);
        }
        record.AddMember("tags", tags, allocator);
        records.PushBack(record, allocator);
        approximate += 150 + name.size() + user.size();
    }
    document.AddMember("version", 3, allocator);
    document.AddMember("source", "quorane benchmark", allocator);
    document.AddMember("records", records, allocator);

    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    document.Accept(writer);
    return buffer.GetString();
}

void ObjectTextOurs(benchmark::State& state) {
    Document document;
    document.Parse(DocumentText(static_cast<std::size_t>(state.range(0))).c_str());
    for (auto _ : state) benchmark::DoNotOptimize(JsonValueToString(document, std::string()));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

void ObjectTextAnchor(benchmark::State& state) {
    Document document;
    document.Parse(DocumentText(static_cast<std::size_t>(state.range(0))).c_str());
    for (auto _ : state) {
        rapidjson::StringBuffer buffer;
        rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
        document.Accept(writer);
        benchmark::DoNotOptimize(buffer.GetString());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

// The same document in the wide flavour, transcoded by the parser.
void ParseWide(WideDocument& document, std::size_t size) {
    document.Parse<rapidjson::kParseDefaultFlags, rapidjson::UTF8<char>>(
        DocumentText(size).c_str());
}

void DeepCopyOurs(benchmark::State& state) {
    WideDocument source;
    ParseWide(source, static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        quorane::JsonAllocator allocator;
        quorane::WideJsonValue copy;
        CopyJsonValue(copy, source, allocator);
        benchmark::DoNotOptimize(copy);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

void DeepCopyAnchor(benchmark::State& state) {
    WideDocument source;
    ParseWide(source, static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        quorane::JsonAllocator allocator;
        quorane::WideJsonValue copy;
        copy.CopyFrom(source, allocator);
        benchmark::DoNotOptimize(copy);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

// A chain `levels` deep: each level an object holding a number, a string and
// the next level (or, with arrays, the same three as elements), as a linked
// list of records serialises. Deep enough to show what each level costs, and
// shallow enough for the anchors, which take one call per level, to survive
// on the main stack.
std::string ChainText(std::size_t levels, bool arrays) {
    std::string text;
    text.reserve(levels * 40);
    for (std::size_t i = 0; i < levels; ++i) {
        text += arrays ? "[" : "{\"n\":";
        text += std::to_string(i * 7919);
        text += arrays ? ",\"level\"," : ",\"s\":\"level\",\"c\":";
    }
    text += arrays ? "[]" : "{}";
    for (std::size_t i = 0; i < levels; ++i) text += arrays ? "]" : "}";
    return text;
}

constexpr unsigned kIterative = rapidjson::kParseIterativeFlag;

void DeepTextOurs(benchmark::State& state) {
    Document document;
    document.Parse<kIterative>(ChainText(static_cast<std::size_t>(state.range(0)), false).c_str());
    for (auto _ : state) benchmark::DoNotOptimize(JsonValueToString(document, std::string()));
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

void DeepTextAnchor(benchmark::State& state) {
    Document document;
    document.Parse<kIterative>(ChainText(static_cast<std::size_t>(state.range(0)), false).c_str());
    for (auto _ : state) {
        rapidjson::StringBuffer buffer;
        rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
        document.Accept(writer);
        benchmark::DoNotOptimize(buffer.GetString());
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

void DeepCopyChainOurs(benchmark::State& state) {
    WideDocument source;
    source.Parse<kIterative, rapidjson::UTF8<char>>(
        ChainText(static_cast<std::size_t>(state.range(0)), true).c_str());
    for (auto _ : state) {
        quorane::JsonAllocator allocator;
        quorane::WideJsonValue copy;
        CopyJsonValue(copy, source, allocator);
        benchmark::DoNotOptimize(copy);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

void DeepCopyChainAnchor(benchmark::State& state) {
    WideDocument source;
    source.Parse<kIterative, rapidjson::UTF8<char>>(
        ChainText(static_cast<std::size_t>(state.range(0)), true).c_str());
    for (auto _ : state) {
        quorane::JsonAllocator allocator;
        quorane::WideJsonValue copy;
        copy.CopyFrom(source, allocator);
        benchmark::DoNotOptimize(copy);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

QUORANE_CASE(ObjectTextOurs, "JsonValueToString/ours", kMiB);
QUORANE_CASE(ObjectTextAnchor, "JsonValueToString/anchor", kMiB);
QUORANE_CASE(DeepCopyOurs, "CopyJsonValue/ours", kMiB);
QUORANE_CASE(DeepCopyAnchor, "CopyJsonValue/anchor", kMiB);
// Sizes are levels of nesting.
QUORANE_CASE(DeepTextOurs, "JsonValueToStringDeep/ours", 20000);
QUORANE_CASE(DeepTextAnchor, "JsonValueToStringDeep/anchor", 20000);
QUORANE_CASE(DeepCopyChainOurs, "CopyJsonValueDeep/ours", 20000);
QUORANE_CASE(DeepCopyChainAnchor, "CopyJsonValueDeep/anchor", 20000);

}  // namespace
