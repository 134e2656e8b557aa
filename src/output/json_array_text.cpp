#include "output/json_array_text.h"

#include "output/standard_output.h"

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace shotsieve {

namespace {

constexpr std::size_t kChunk = 64 * 1024;

}  // namespace

void JsonArrayText::add(const JsonObject& object) {
  if (failed()) return;
  const std::string encoded = jsonEncode(object);
  if (encoded == "{}") {  // every object added has members
    failure_ = "an entry cannot be encoded as JSON";
    return;
  }
  // Sized once from the first entry, instead of doubling as it grows.
  if (count_ == 0 && out_ == nullptr) text_.reserve((encoded.size() + 16) * (expected_ + 1) + 2);
  text_ += count_++ == 0 ? "[" : ",";
  text_ += encoded;
  if (out_ != nullptr && text_.size() >= kChunk) spill();
}

void JsonArrayText::spill() {
  if (!writeToStream(out_, text_)) writeFailed_ = true;
  text_.clear();
  spilled_ = true;
}

Answer JsonArrayText::text() && {
  if (failed()) return std::move(*this).abandon(failure_);
  if (!spilled_) return Answer::of(count_ == 0 ? "[]" : std::move(text_) + "]");
  text_ += "]\n";
  spill();
  return Answer::of({});
}

Answer JsonArrayText::abandon(std::string why) && {
  if (spilled_) {
    text_ += count_ == 0 ? "[]\n" : "]\n";
    spill();
  }
  return Answer::failed(std::move(why));
}

void returnFreedMemory() {
#ifdef __GLIBC__
  ::malloc_trim(0);
#endif
}

}  // namespace shotsieve
