#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

namespace shotsieve {

// Makes the whole pages of fresh memory in [data, data + size) present in
// one call, before megabytes are filled: page by page each took a fault,
// and on a virtual machine a fault costs about as much as the work done in
// its page. Where the kernel cannot (before 5.14), they still come one fault
// at a time.
inline void makePresent(void* data, std::size_t size) {
#ifdef MADV_POPULATE_WRITE
  const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
  const auto start = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t from = (start + page - 1) / page * page, to = (start + size) / page * page;
  if (to > from) (void)::madvise(reinterpret_cast<void*>(from), to - from, MADV_POPULATE_WRITE);
#else
  (void)data;
  (void)size;
#endif
}

}  // namespace shotsieve
