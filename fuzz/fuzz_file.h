#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <string_view>

namespace shotsieve::fuzzing {

// One scratch file per process, rewritten with each input, for the code that
// reads files by path. Kept in TMPDIR (default /tmp), which holds no link.
inline const std::string& scratchPath(std::string_view ending) {
  static const std::string path = [&] {
    const char* dir = std::getenv("TMPDIR");
    return std::string(dir != nullptr && dir[0] == '/' ? dir : "/tmp") + "/shotsieve-fuzz-" +
           std::to_string(::getpid()) + std::string(ending);
  }();
  return path;
}

inline void writeScratch(const std::string& path, const uint8_t* data, size_t size) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) std::abort();
  for (size_t done = 0; done < size;) {
    const ssize_t put = ::write(fd, data + done, size - done);
    if (put <= 0) std::abort();
    done += static_cast<size_t>(put);
  }
  ::close(fd);
}

}  // namespace shotsieve::fuzzing
