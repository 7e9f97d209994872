// The wildcard matcher against a plain dynamic-programming matcher: the input
// is a pattern and a name, split at the first NUL (or the middle when there
// is none).
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "walker/wildcard.h"

namespace {

// match[i][j]: the first i bytes of the pattern match the first j of the name.
bool reference_match(std::string_view pattern, std::string_view name) {
    if (!name.empty() && name.front() == '.' && (pattern.empty() || pattern.front() != '.')) return false;
    const std::size_t w = name.size() + 1;
    std::vector<char> match((pattern.size() + 1) * w, 0);
    match[0] = 1;
    for (std::size_t i = 1; i <= pattern.size(); ++i) {
        const char p = pattern[i - 1];
        for (std::size_t j = 0; j <= name.size(); ++j) {
            bool m = false;
            if (p == '*') m = match[(i - 1) * w + j] || (j > 0 && match[i * w + j - 1]);
            else if (j > 0) m = match[(i - 1) * w + j - 1] && (p == '?' || p == name[j - 1]);
            match[i * w + j] = m;
        }
    }
    return match[pattern.size() * w + name.size()];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    std::size_t cut = input.find('\0');
    const std::size_t skip = cut == std::string_view::npos ? 0 : 1;
    if (cut == std::string_view::npos) cut = size / 2;
    const std::string_view pattern = input.substr(0, cut);
    const std::string_view name = input.substr(cut + skip);
    if (tolvek::walker::wildcard_match(pattern, name) != reference_match(pattern, name)) std::abort();

    // The split helpers must give back the pieces of what they were given.
    const tolvek::walker::PatternParts parts = tolvek::walker::split_pattern(input);
    if (parts.dir.size() + parts.name.size() != input.size() || parts.name.find('/') != std::string_view::npos)
        std::abort();
    return 0;
}
