// URL encoding with URLEncode and URLDecode, and who frees their results.
//
//   url_coding TEXT...          each TEXT encoded, then decoded back
//   url_coding --decode TEXT    TEXT decoded
//
// Exits 0 when every text comes back unchanged (or was decoded), 1 when one
// does not or memory runs out, 2 on misuse.
#include <quorane/Utils.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

// Both functions return a new malloc block that the caller must free() (not
// delete); owning it this way frees it on every path out.
struct FreeDeleter {
    void operator()(char* text) const { std::free(text); }
};
using MallocText = std::unique_ptr<char, FreeDeleter>;

}  // namespace

int main(int argc, char* argv[]) {
    if (argc < 2 || (std::strcmp(argv[1], "--decode") == 0 && argc != 3)) {
        std::fprintf(stderr, "usage: url_coding TEXT...\n       url_coding --decode TEXT\n");
        return 2;
    }

    if (std::strcmp(argv[1], "--decode") == 0) {
        // "%XX" escapes are decoded; "+" stays "+" (this is no form decoding).
        const MallocText decoded(URLDecode(argv[2]));
        if (!decoded) {
            std::fprintf(stderr, "url_coding: out of memory\n");
            return 1;
        }
        std::printf("%s\n", decoded.get());
        return 0;
    }

    int status = 0;
    for (int i = 1; i < argc; ++i) {
        // Everything but ASCII letters, digits, "." and "@" becomes "%XX".
        const MallocText encoded(URLEncode(argv[i]));
        const MallocText decoded(encoded ? URLDecode(encoded.get()) : nullptr);
        if (!encoded || !decoded) {
            std::fprintf(stderr, "url_coding: out of memory\n");
            return 1;
        }
        std::printf("%s\n%s\n", encoded.get(), decoded.get());
        if (std::strcmp(decoded.get(), argv[i]) != 0) {
            std::fprintf(stderr, "url_coding: \"%s\" did not come back unchanged\n", argv[i]);
            status = 1;
        }
    }
    return status;
}
