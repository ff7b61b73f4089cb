// An outside program built against the installed package.
#include <quorane/Utils.h>

#include <cstdio>

int main() {
    const std::string joined = AppendPathToString(std::string("install"), std::string("a.zip"));
    const std::wstring wide = AppendPath(std::wstring(L"dir/"), std::string("caf\xC3\xA9"));
    if (joined != "install/a.zip" || wide != L"dir/caf\u00e9") {
        std::fprintf(stderr, "unexpected: %s\n", joined.c_str());
        return 1;
    }
    std::puts("consumer: ok");
    return 0;
}
