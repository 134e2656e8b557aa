#pragma once

#include <cstdint>
#include <string_view>

namespace shotsieve {

// FNV-1a over bytes: stable across builds and runs, unlike std::hash, so its
// values may be kept in files. Chained by passing the previous value on.
inline constexpr std::uint64_t kFnv1aStart = 0xcbf29ce484222325ULL;
inline std::uint64_t fnv1a(std::string_view bytes, std::uint64_t hash = kFnv1aStart) {
  for (const unsigned char c : bytes) {
    hash ^= c;
    hash *= 0x100000001b3ULL;
  }
  return hash;
}

}  // namespace shotsieve
