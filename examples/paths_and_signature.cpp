// Joining paths with AppendPathToString / AppendPath, and reading the
// signature (the first 576 bytes as hex) of a file with GetFileSignature.
//
//   paths_and_signature [FILE]      FILE defaults to the program itself
//
// Exits 0 when the signature was read, 1 when it could not be, 2 on misuse.
#include <quorane/Utils.h>

#include <cstdint>
#include <cstdio>
#include <string>

int main(int argc, char* argv[]) {
    if (argc > 2) {
        std::fprintf(stderr, "usage: paths_and_signature [FILE]\n");
        return 2;
    }

    // One "/" goes between the parts unless either side already has it; the
    // joins normalise nothing else, so "dir/" + "/a" keeps both slashes.
    std::printf("%s\n", AppendPathToString(std::string("install"), std::string("a.zip")).c_str());
    std::printf("%s\n", AppendPathToString(std::string("install/"), std::string("a.zip")).c_str());
    std::printf("%s\n", AppendPathToString(std::string("install/"), std::string("/a.zip")).c_str());
    // Narrow parts are UTF-8; the wide overloads mix freely with them.
    std::printf("%s\n",
                AppendPathToString(std::wstring(L"caf\u00e9"), std::string("menu")).c_str());

    const std::string file = argc > 1 ? argv[1] : argv[0];
    if (file.empty()) {
        std::fprintf(stderr, "paths_and_signature: the file name is empty\n");
        return 1;
    }
    // The file functions take wide paths. Joining with an empty part gives the
    // base alone, converted; bytes that are not UTF-8 would be dropped, so a
    // path that does not come back unchanged would name another file.
    const std::wstring path = AppendPath(file, std::string());
    if (AppendPathToString(path, std::wstring()) != file) {
        std::fprintf(stderr, "paths_and_signature: %s: the path is not valid UTF-8\n",
                     file.c_str());
        return 1;
    }

    const std::wstring signature = GetFileSignature(path);
    if (signature.empty()) {
        int64_t changed = 0, modified = 0, accessed = 0;
        const bool exists = GetFileTimes(path, &changed, &modified, &accessed);
        std::fprintf(stderr, "paths_and_signature: %s: %s\n", file.c_str(),
                     exists ? "not a readable regular file" : "no such file");
        return 1;
    }
    // The signature is plain ASCII hex, so each unit narrows to one char.
    const std::string hex(signature.begin(), signature.end());
    std::printf("%s\n%s\n", file.c_str(), hex.c_str());
    return 0;
}
