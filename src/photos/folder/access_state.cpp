#include "photos/folder/access_state.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <charconv>
#include <string>

#include "photos/authorization.h"
#include "photos/file_time.h"
#include "photos/folder/private_files.h"
#include "photos/unique_fd.h"

namespace shotsieve::folder {

namespace {

void trim(std::string& text) {
  const auto isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
  while (!text.empty() && isSpace(text.back())) text.pop_back();
  std::size_t start = 0;
  while (start < text.size() && isSpace(text[start])) ++start;
  text.erase(0, start);
}

}  // namespace

int readAccessState(const std::string& path) {
  const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (!fd) return errno == ENOENT ? 0 : kUnreadableAccessState;
  struct stat info;
  if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) return kUnreadableAccessState;
  // An answer another user wrote, or could have written, is not this user's.
  if ((info.st_uid != ::geteuid() && info.st_uid != 0) || (info.st_mode & S_IWOTH)) return kUnreadableAccessState;
  std::string text(64, '\0');
  const ssize_t got = ::read(fd.get(), text.data(), text.size());
  if (got < 0 || static_cast<std::size_t>(got) == text.size()) return kUnreadableAccessState;  // unreadable or too long
  text.resize(static_cast<std::size_t>(got));
  trim(text);
  for (int status = 0; status <= 4; ++status) {
    if (text == authStatusString(status)) return status;
  }
  int number = 0;
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, number);
  if (!text.empty() && error == std::errc{} && stop == end) return number;
  return kUnreadableAccessState;
}

int AccessStateLook::current() {
  struct statx info;
  if (::statx(AT_FDCWD, path_.c_str(), 0, STATX_BASIC_STATS, &info) != 0) {
    const bool absent = errno == ENOENT;
    std::lock_guard lock(mutex_);
    seen_.reset();
    return absent ? 0 : readAccessState(path_);
  }
  const Seen now{(std::uint64_t{info.stx_dev_major} << 32) | info.stx_dev_minor, info.stx_ino, info.stx_size,
                 fileNanoseconds(info.stx_mtime), fileNanoseconds(info.stx_ctime)};
  std::lock_guard lock(mutex_);
  if (seen_ == now) return status_;
  status_ = readAccessState(path_);
  // A file's times move in the file system's ticks (two seconds on FAT): a
  // change in the same tick as the one just read would leave them as they
  // are, so a status read that soon after a change is not kept.
  timespec clock;
  ::clock_gettime(CLOCK_REALTIME, &clock);
  const std::int64_t readAt = std::int64_t{clock.tv_sec} * 1'000'000'000 + clock.tv_nsec;
  constexpr std::int64_t kTick = 3'000'000'000;
  if (readAt - std::max(now.modified, now.changed) > kTick) {
    seen_ = now;
  } else {
    seen_.reset();
  }
  return status_;
}

bool writeAccessState(const std::string& path, int status) {
  return replacePrivateFile(path, std::string(authStatusString(status)) + "\n");
}

}  // namespace shotsieve::folder
