#pragma once

#include <cstdint>
#include <string>

namespace shotsieve {

// Removes the entries of `dir` last modified before now - keepDays * 86400 s.
// A link is judged by its own time and removing it removes only the link; a
// folder goes only when nothing inside it, at any depth, is newer. Silent:
// every failure is ignored.
void pruneCache(const std::string& dir, std::int64_t keepDays);

}  // namespace shotsieve
