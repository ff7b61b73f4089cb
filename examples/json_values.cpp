// Reading JSON values leniently with JsonValueToString, JsonValueToInt,
// JsonValueToIntmax_t, JsonValueToFloat and JsonValueToBool: each converts
// what it can and returns the caller's default for a missing or mistyped member.
//
//   json_values            reads a built-in document and checks what it read
//   json_values JSON_TEXT  reads the same members from an object of your own
//
// Exits 0 when the document parsed (and, built in, every value is the one
// expected), 1 otherwise, 2 on misuse.
#include <quorane/Utils.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include <rapidjson/error/en.h>

namespace {

// A document whose values are quorane::JsonValue: UTF-8 text with the
// library's allocator, so its members go straight to the readers.
using Document = rapidjson::GenericDocument<rapidjson::UTF8<char>, quorane::JsonAllocator>;

const char kBuiltIn[] = R"({"name": "agent", "port": 8443, "retries": "3", "timeout": 2.5,)"
                        R"( "size": 6000000000, "verbose": true, "limits": {"max": 10}})";

// The object's member, or a null value for which every reader returns its
// default. The readers take values by reference but never change them.
quorane::JsonValue& Member(quorane::JsonValue& object, const char* name) {
    static quorane::JsonValue missing;
    const auto found = object.FindMember(name);
    return found != object.MemberEnd() ? found->value : missing;
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc > 2) {
        std::fprintf(stderr, "usage: json_values [JSON_TEXT]\n");
        return 2;
    }
    Document document;
    document.Parse(argc > 1 ? argv[1] : kBuiltIn);
    if (document.HasParseError()) {
        std::fprintf(stderr, "json_values: %s (at offset %zu)\n",
                     rapidjson::GetParseError_En(document.GetParseError()),
                     document.GetErrorOffset());
        return 1;
    }
    if (!document.IsObject()) {
        std::fprintf(stderr, "json_values: the document is not an object\n");
        return 1;
    }

    const std::string name = JsonValueToString(Member(document, "name"), "unnamed");
    const int port = JsonValueToInt(Member(document, "port"), 80);
    const int retries = JsonValueToInt(Member(document, "retries"), 1);   // "3" parses
    const int timeout = JsonValueToInt(Member(document, "timeout"), 30);  // 2.5 is no int
    const float seconds = JsonValueToFloat(Member(document, "timeout"), 30);
    const int sizeAsInt = JsonValueToInt(Member(document, "size"), -1);  // too large for int
    const intmax_t size = JsonValueToIntmax_t(Member(document, "size"), -1);
    const bool verbose = JsonValueToBool(Member(document, "verbose"), false);
    const bool notify = JsonValueToBool(Member(document, "notify"), true);  // missing
    const std::string limits = JsonValueToString(Member(document, "limits"), "{}");
    const int nameAsInt = JsonValueToInt(Member(document, "name"), -1);  // not a number

    std::printf("name=%s\nport=%d\nretries=%d\ntimeout=%d\nseconds=%g\n", name.c_str(), port,
                retries, timeout, seconds);
    std::printf("size_as_int=%d\nsize=%jd\nverbose=%s\nnotify=%s\nlimits=%s\nname_as_int=%d\n",
                sizeAsInt, size, verbose ? "true" : "false", notify ? "true" : "false",
                limits.c_str(), nameAsInt);

    if (argc > 1) return 0;
    const bool expected = name == "agent" && port == 8443 && retries == 3 && timeout == 30 &&
                          seconds == 2.5f && sizeAsInt == -1 && size == INTMAX_C(6000000000) &&
                          verbose && notify && limits == R"({"max":10})" && nameAsInt == -1;
    if (!expected) std::fprintf(stderr, "json_values: unexpected values read\n");
    return expected ? 0 : 1;
}
