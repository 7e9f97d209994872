// FNV-1a, 64 bits (offset basis 14695981039346656037, prime 1099511628211):
// depends on nothing but the bytes, so every machine and every version of
// the program gives the same value. Shards and settings fingerprints rest on
// that; never change it.
#pragma once

#include <cstdint>
#include <string_view>

namespace tolvek {

inline constexpr std::uint64_t kFnvOffsetBasis = 14695981039346656037ULL;
inline constexpr std::uint64_t kFnvPrime = 1099511628211ULL;

// The hash of `bytes`, going on from `hash` (so pieces can be chained).
constexpr std::uint64_t fnv1a64(std::string_view bytes, std::uint64_t hash = kFnvOffsetBasis) {
    for (const char c : bytes) {
        hash ^= static_cast<unsigned char>(c);
        hash *= kFnvPrime;
    }
    return hash;
}

}  // namespace tolvek
