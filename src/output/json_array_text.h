#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

#include "output/answer.h"
#include "output/json.h"

namespace shotsieve {

// A JSON array built one encoded object at a time, so that a long answer is
// never held as values and as text at once; the same text as jsonEncode of
// the whole array. An object that cannot be encoded fails the answer.
class JsonArrayText {
 public:
  explicit JsonArrayText(std::size_t expected) : expected_(expected) {}
  // Streams the text to `out` in chunks as it grows, for a command that only
  // prints it: a long listing then never holds its answer. Chunks end
  // between objects, so a failed answer can still close the array it began;
  // a streamed array ends with its newline.
  JsonArrayText(std::size_t expected, std::FILE* out) : expected_(expected), out_(out) {}

  // Nothing is added once an object failed.
  void add(const JsonObject& object);
  std::size_t size() const { return count_; }
  bool failed() const { return !failure_.empty(); }
  // True once a streamed chunk could not be written: nobody will get the answer.
  bool writeFailed() const { return writeFailed_; }
  // The whole text; when streaming, the rest of it and the newline are
  // written out and the text is empty unless nothing had left ("[]", or a
  // short array: the caller writes it).
  Answer text() &&;
  // No answer, for `why`: what was streamed is closed as a complete array
  // of the objects written so far; nothing else is written.
  Answer abandon(std::string why) &&;

 private:
  void spill();

  std::size_t expected_;
  std::FILE* out_ = nullptr;
  bool spilled_ = false;
  std::string text_;
  std::size_t count_ = 0;
  std::string failure_;
  bool writeFailed_ = false;
};

// Hands the pages of freed values back to the system. A long answer's text
// lives in one large block of its own, so without this the freed small blocks
// would stay resident beside it.
void returnFreedMemory();

}  // namespace shotsieve
