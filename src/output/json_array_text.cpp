#include "output/json_array_text.h"

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace shotsieve {

void JsonArrayText::add(const JsonObject& object) {
  const std::string encoded = jsonEncode(object);
  failed_ = failed_ || encoded == "{}";  // every object added has members
  // Sized once from the first entry, instead of doubling as it grows.
  if (count_ == 0) text_.reserve((encoded.size() + 16) * (expected_ + 1) + 2);
  text_ += count_++ == 0 ? "[" : ",";
  text_ += encoded;
}

std::string JsonArrayText::text() && { return failed_ ? "{}" : count_ == 0 ? "[]" : std::move(text_) + "]"; }

void returnFreedMemory() {
#ifdef __GLIBC__
  ::malloc_trim(0);
#endif
}

}  // namespace shotsieve
