#include "photos/folder/scan/asset_identity.h"

#include <uuid/uuid.h>

namespace shotsieve::folder {

namespace {

// The namespace of every asset identifier of the folder library.
constexpr uuid_t kAssetNamespace = {0x6b, 0x1d, 0x3c, 0x52, 0x8e, 0x0f, 0x4a, 0x67,
                                    0x9d, 0x21, 0x5e, 0x73, 0xc4, 0x08, 0xb9, 0x1a};

}  // namespace

Uuid firstSeenUuid(std::string_view relativePath, std::int64_t birthTimeNanoseconds, int attempt) {
  std::string name(relativePath);
  name += '\0';  // a path never holds NUL, so path and time cannot run together
  name += std::to_string(birthTimeNanoseconds);
  if (attempt > 0) {
    name += '\0';
    name += std::to_string(attempt);
  }
  uuid_t uuid;
  uuid_generate_sha1(uuid, kAssetNamespace, name.data(), name.size());
  Uuid result;
  std::copy(std::begin(uuid), std::end(uuid), result.begin());
  return result;
}

std::string localIdentifierOf(const Uuid& uuid) {
  char text[37];
  uuid_unparse_upper(uuid.data(), text);
  return std::string(text) + "/L0/001";
}

std::string assetLocalIdentifier(std::string_view relativePath, std::int64_t birthTimeNanoseconds) {
  return localIdentifierOf(firstSeenUuid(relativePath, birthTimeNanoseconds));
}

}  // namespace shotsieve::folder
