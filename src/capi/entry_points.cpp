#include <cstdlib>
#include <cstring>
#include <string>

#include "capi/sievelink.h"
#include "listing/list_json.h"
#include "photos/authorization.h"

namespace shotsieve {
namespace {

// A heap copy that the host frees with pk_free; null when it cannot be made.
char* cstr(const std::string& text) { return ::strdup(text.c_str()); }

// Runs an answer-producing function; no exception ever reaches the host, and
// a listing that could make no answer gives a null pointer, as when the copy
// cannot be allocated: never a text that looks like an answer.
char* cstr(const Answer& answer) { return answer.made() ? cstr(answer.text()) : nullptr; }

template <typename Make>
char* answer(Make make) noexcept {
  try {
    return cstr(make());
  } catch (...) {
    return nullptr;
  }
}

}  // namespace
}  // namespace shotsieve

extern "C" {

char* pk_auth_status(void) {
  return shotsieve::answer([] { return shotsieve::authStatusJSON(shotsieve::sharedPhotoLibrary()); });
}

char* pk_request_auth(void) {
  return shotsieve::answer([] { return shotsieve::requestAuthJSON(shotsieve::sharedPhotoLibrary()); });
}

char* pk_list(int32_t days, const char* exportDir, double budgetSeconds, int32_t allowNetwork) {
  if (exportDir == nullptr) return shotsieve::cstr(R"({"error":"bad-args"})");
  return shotsieve::answer([&] {
    shotsieve::ListOptions options;
    options.budgetSeconds = budgetSeconds;
    options.networkAccess =
        allowNetwork != 0 ? shotsieve::NetworkAccess::allowed : shotsieve::NetworkAccess::notAllowed;
    // The directory's bytes as given: a name that is not UTF-8 is still that folder.
    return shotsieve::listJSON(shotsieve::sharedPhotoLibrary(), static_cast<std::int64_t>(days), exportDir, options);
  });
}

void pk_free(char* text) { std::free(text); }

}  // extern "C"
