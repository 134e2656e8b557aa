#include "photos/cache_tag.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "photos/no_link_open.h"

namespace shotsieve {

namespace {

constexpr std::string_view kSignature = "Signature: 8a477f597d28d172789f06886806bc55";
constexpr std::string_view kTagText =
    "Signature: 8a477f597d28d172789f06886806bc55\n"
    "# This file is a cache directory tag created by shotsieve.\n"
    "# It holds copies of screenshots, removed once unused for 14 days.\n"
    "# For information about cache directory tags, see https://bford.info/cachedir/\n";

bool isCacheTag(const UniqueFd& tag) {
  if (!tag) return false;
  char head[kSignature.size()];
  return ::pread(tag.get(), head, sizeof head, 0) == static_cast<ssize_t>(sizeof head) &&
         std::string_view(head, sizeof head) == kSignature;
}

}  // namespace

bool hasCacheTag(int folderFd) { return isCacheTag(openBeneath(folderFd, std::string(kCacheTagName), O_RDONLY | O_NONBLOCK)); }

bool hasCacheTagIn(int parentFd, std::string_view name) {
  return isCacheTag(openBeneath(parentFd, std::string(name) + "/" + std::string(kCacheTagName), O_RDONLY | O_NONBLOCK));
}

bool writeCacheTag(int folderFd) {
  // Exclusive: a tag that another run writes at the same moment is as good.
  UniqueFd tag = openBeneath(folderFd, std::string(kCacheTagName), O_WRONLY | O_CREAT | O_EXCL, 0600);
  if (!tag) return errno == EEXIST && hasCacheTag(folderFd);
  const bool written = ::write(tag.get(), kTagText.data(), kTagText.size()) == static_cast<ssize_t>(kTagText.size());
  if (tag.close() && written) return true;
  ::unlinkat(folderFd, std::string(kCacheTagName).c_str(), 0);
  return false;
}

}  // namespace shotsieve
