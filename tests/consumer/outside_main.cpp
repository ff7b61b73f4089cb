// An outside program built against the library, with a Utils.h of its own.
#include <quorane/QuoraneFile.h>
#include <quorane/Utils.h>
#include <quorane/Version.h>

#include <fcntl.h>

#include <cstdio>
#include <cstring>

#include "Utils.h"

int main(int argc, char* argv[]) {
    const std::string joined = AppendPathToString(std::string("install"), std::string("a.zip"));
    const std::wstring wide = AppendPath(std::wstring(L"dir/"), std::string("caf\xC3\xA9"));

    // Platform strings come with the public header.
    CFStringRef text =
        CFStringCreateWithCString(kCFAllocatorDefault, "e\xCC\x81t\xC3\xA9", kCFStringEncodingUTF8);
    const std::string fetched = text ? CFStringRefToUTF8(text) : "";
    if (text) CFRelease(text);

    CQuoraneFile self(std::string(argv[0]), O_RDONLY);
    const bool readable = self.IsOpen() && self.Seek(0, SEEK_END) > 0 && self.Close();

    const bool versioned =
        QUORANE_VERSION_MAJOR >= 1 &&
        std::string(QUORANE_VERSION_STRING).rfind(std::to_string(QUORANE_VERSION_MAJOR) + ".", 0) ==
            0;
    if (argc < 1 || std::strcmp(OutsideProjectName(), "outside") != 0 || !versioned ||
        joined != "install/a.zip" || wide != L"dir/caf\u00e9" || fetched != "e\xCC\x81t\xC3\xA9" ||
        NfdToNfc(fetched) != "\xC3\xA9t\xC3\xA9" || !readable) {
        std::fprintf(stderr, "consumer: unexpected results\n");
        return 1;
    }
    std::puts("consumer: ok");
    return 0;
}
