// The outside project's own json_test: reads values through the library.
#include <quorane/Utils.h>

#include <cstdio>

int main() {
    rapidjson::GenericDocument<rapidjson::UTF8<char>, quorane::JsonAllocator> document;
    document.Parse(R"({"port": "8443", "name": "agent", "on": true})");
    if (document.HasParseError()) return 1;
    quorane::JsonValue& root = document;
    const bool ok = JsonValueToInt(root["port"], -1) == 8443 &&
                    JsonValueToString(root["name"], "") == "agent" &&
                    JsonValueToBool(root["on"], false);
    std::puts(ok ? "json_test: ok" : "json_test: unexpected values");
    return ok ? 0 : 1;
}
