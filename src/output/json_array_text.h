#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

#include "output/json.h"

namespace shotsieve {

// A JSON array built one encoded object at a time, so that a long answer is
// never held as values and as text at once; the same text as jsonEncode of
// the whole array, "{}" included when any object fails.
class JsonArrayText {
 public:
  explicit JsonArrayText(std::size_t expected) : expected_(expected) {}
  // Streams the text to `out` in chunks as it grows, for a command that only
  // prints it: a long listing then never holds its answer. An object that
  // cannot be encoded once a chunk has gone out is left out of the array
  // (texts from the folder library are always valid UTF-8, so it does not
  // happen there); before that the answer is "{}" as usual.
  JsonArrayText(std::size_t expected, std::FILE* out) : expected_(expected), out_(out) {}

  void add(const JsonObject& object);
  std::size_t size() const { return count_; }
  // True once a streamed chunk could not be written: nobody will get the answer.
  bool writeFailed() const { return writeFailed_; }
  // The whole text; when streaming, the rest of it is written out and the
  // text is empty unless it never left ("{}", "[]").
  std::string text() &&;

 private:
  void spill();

  std::size_t expected_;
  std::FILE* out_ = nullptr;
  bool spilled_ = false;
  std::string text_;
  std::size_t count_ = 0;
  bool failed_ = false;
  bool writeFailed_ = false;
};

// Hands the pages of freed values back to the system. A long answer's text
// lives in one large block of its own, so without this the freed small blocks
// would stay resident beside it.
void returnFreedMemory();

}  // namespace shotsieve
