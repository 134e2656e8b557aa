#pragma once

#include <string>
#include <utility>

namespace shotsieve {

// EX_SOFTWARE of sysexits.h: no answer could be made (out of memory, say).
inline constexpr int kExitInternalFailure = 70;

// A command's answer as JSON text, or why none could be made. Every answer
// the program prints is a JSON text, and "{}" is one of them, so a failure
// travels beside the text, never inside it.
class [[nodiscard]] Answer {
 public:
  static Answer of(std::string text) { return Answer(std::move(text), {}); }
  static Answer failed(std::string why) { return Answer({}, why.empty() ? std::string("unknown failure") : std::move(why)); }

  bool made() const { return failure_.empty(); }
  // The text when made; for a streamed answer, what was not written yet.
  const std::string& text() const& { return text_; }
  std::string text() && { return std::move(text_); }
  const std::string& failure() const { return failure_; }

 private:
  Answer(std::string text, std::string failure) : text_(std::move(text)), failure_(std::move(failure)) {}
  std::string text_;
  std::string failure_;
};

}  // namespace shotsieve
