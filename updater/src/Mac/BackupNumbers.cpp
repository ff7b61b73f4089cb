// The scan of archive bytes for backup names.
#include "BackupNumbers.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "BundleSwap.h"

namespace quorane::updater {
namespace {

// Whether the `lower.size()` bytes at `text` spell `lower`, ASCII letters
// compared without case, as a file system that folds case compares names.
bool SpellsFoldingCase(const char* text, const std::string& lower) {
    for (std::size_t i = 0; i < lower.size(); ++i) {
        const char c =
            text[i] >= 'A' && text[i] <= 'Z' ? static_cast<char>(text[i] - 'A' + 'a') : text[i];
        if (c != lower[i]) return false;
    }
    return true;
}

}  // namespace

bool MarkNamedBackups(int archive, BackupNumbers& named) {
    const std::string prefixes[] = {std::string(kBundleNames[0]) + ".",
                                    std::string(kBundleNames[1]) + "."};
    const std::size_t before = prefixes[0].size() - 1;  // bytes ahead of the dot
    constexpr std::size_t kDigits = 3, kChunk = std::size_t{1} << 20;

    std::vector<char> data;
    std::size_t kept = 0, scanFrom = 0;
    off_t offset = 0;
    for (;;) {
        data.resize(kept + kChunk);
        const ssize_t count = ::pread(archive, data.data() + kept, kChunk, offset);
        if (count < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        offset += count;
        const bool end = count == 0;
        const std::size_t size = kept + static_cast<std::size_t>(count);
        // A dot is judged once the digits that may follow it are in.
        const std::size_t judged = end ? size : size > kDigits ? size - kDigits : 0;
        for (std::size_t at = scanFrom; at < judged; ++at) {
            const void* dot = std::memchr(data.data() + at, '.', judged - at);
            if (dot == nullptr) break;
            at = static_cast<std::size_t>(static_cast<const char*>(dot) - data.data());
            if (at < before) continue;
            const char* name = data.data() + at - before;
            if (!SpellsFoldingCase(name, prefixes[0]) && !SpellsFoldingCase(name, prefixes[1]))
                continue;
            std::size_t number = 0;
            for (std::size_t digit = at + 1; digit < size && digit <= at + kDigits; ++digit) {
                if (data[digit] < '0' || data[digit] > '9') break;
                number = number * 10 + static_cast<std::size_t>(data[digit] - '0');
                named[number] = true;
            }
        }
        if (end) return true;
        // Keep what a match that ends in the next chunk still needs.
        const std::size_t carryFrom = judged > before ? judged - before : 0;
        std::copy(data.begin() + static_cast<std::ptrdiff_t>(carryFrom),
                  data.begin() + static_cast<std::ptrdiff_t>(size), data.begin());
        kept = size - carryFrom;
        scanFrom = judged - carryFrom;
    }
}

}  // namespace quorane::updater
