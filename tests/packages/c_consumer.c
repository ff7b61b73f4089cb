/* A C program that uses the library: compiled and linked by the C compiler
   alone with pkg-config's flags, so the link gets no C++ runtime unless the
   pkg-config file names it. It calls the platform string calls, which the
   library exports with C linkage; their header is C++, so the few
   declarations are repeated here, as a C caller would write them. Exits 0
   when a string makes the round trip through the library. */
#include <stdint.h>
#include <stdio.h>
#include <string.h>

struct QuoraneCFString;
struct QuoraneCFAllocator;
typedef const struct QuoraneCFString* CFStringRef;
typedef const struct QuoraneCFAllocator* CFAllocatorRef;
typedef long CFIndex;

extern const CFAllocatorRef kCFAllocatorDefault;
CFStringRef CFStringCreateWithCString(CFAllocatorRef alloc, const char* cStr, uint32_t encoding);
CFIndex CFStringGetLength(CFStringRef theString);
unsigned char CFStringGetCString(CFStringRef theString, char* buffer, CFIndex bufferSize,
                                 uint32_t encoding);
void CFRelease(const void* cf);

enum { kUtf8 = 0x08000100 };

int main(void) {
    /* "caf\u00e9 \U0001F600": five UTF-16 units and a surrogate pair. */
    const char* text = "caf\xc3\xa9 \xf0\x9f\x98\x80";
    char back[32];
    CFStringRef string = CFStringCreateWithCString(kCFAllocatorDefault, text, kUtf8);
    if (string == NULL) {
        fprintf(stderr, "c_consumer: no string made\n");
        return 1;
    }
    const CFIndex length = CFStringGetLength(string);
    const int fetched = CFStringGetCString(string, back, sizeof back, kUtf8);
    CFRelease(string);
    if (length != 7 || !fetched || strcmp(back, text) != 0) {
        fprintf(stderr, "c_consumer: length %ld, fetched %d\n", length, fetched);
        return 1;
    }
    return 0;
}
