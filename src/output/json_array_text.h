#pragma once

#include <cstddef>
#include <string>

#include "output/json.h"

namespace shotsieve {

// A JSON array built one encoded object at a time, so that a long answer is
// never held as values and as text at once; the same text as jsonEncode of
// the whole array, "{}" included when any object fails.
class JsonArrayText {
 public:
  explicit JsonArrayText(std::size_t expected) : expected_(expected) {}

  void add(const JsonObject& object);
  std::size_t size() const { return count_; }
  std::string text() &&;

 private:
  std::size_t expected_;
  std::string text_;
  std::size_t count_ = 0;
  bool failed_ = false;
};

// Hands the pages of freed values back to the system. A long answer's text
// lives in one large block of its own, so without this the freed small blocks
// would stay resident beside it.
void returnFreedMemory();

}  // namespace shotsieve
