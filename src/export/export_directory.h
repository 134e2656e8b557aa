#pragma once

#include <string>
#include <string_view>

#include "photos/photo_library.h"
#include "photos/unique_fd.h"

namespace shotsieve {

// The export directory, opened once: every entry is reached relative to its
// handle and never through a link. A directory that other users can change
// (owned by another user, writable by every user, or reached through a
// folder or link that another user owns) is not usable: nothing is copied
// into it, reused from it or pruned from it.
class ExportDirectory {
 public:
  // An existing directory, as it is: nothing is created or tagged.
  static ExportDirectory open(const std::string& path);
  // Creates the directory with its missing parents (0700) and opens it. One
  // that is new, or holds nothing but export entries, is tagged as a cache
  // (CACHEDIR.TAG), so backup tools and the library pass over it. One that
  // the library would read copies back from (its root, or a folder inside it
  // that cannot be tagged), or whose name is not UTF-8, is not usable.
  static ExportDirectory prepare(const std::string& path, PhotoLibrary& library);

  bool usable() const { return fd_ && usable_; }
  int fd() const { return fd_.get(); }
  // Held while a copy is stamped as used (shared) or while old copies are
  // removed (exclusive), across threads and processes: a copy another
  // listing has just stamped, and so answered with, is never pruned. Taken on
  // a handle of its own each time, so threads of one listing never share one
  // lock; not held where the file system keeps no locks.
  enum class CopiesLock { shared, exclusive };
  UniqueFd lockCopies(CopiesLock kind) const;
  // The path of an entry as the caller named the directory, joined as plain text.
  std::string pathOf(std::string_view name) const { return path_ + "/" + std::string(name); }

 private:
  ExportDirectory(std::string path, UniqueFd fd, bool usable) : path_(std::move(path)), fd_(std::move(fd)), usable_(usable) {}

  std::string path_;
  UniqueFd fd_;
  bool usable_ = false;
};

}  // namespace shotsieve
