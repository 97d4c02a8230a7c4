#include "common/buffer_alloc.h"

#include <cstdint>
#include <cstdlib>

#ifdef __linux__
#include <sys/mman.h>
#include <unistd.h>
#endif

unsigned char *buffer_alloc(std::size_t size) {
  return static_cast<unsigned char *>(std::malloc(size));
}

void buffer_prefault(unsigned char *block, std::size_t length) {
#if defined(__linux__) && defined(MADV_POPULATE_WRITE)
  // Only the whole pages inside the range: the bytes around it may belong to other blocks.
  const std::uintptr_t page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  const std::uintptr_t start = (reinterpret_cast<std::uintptr_t>(block) + page - 1) & ~(page - 1);
  const std::uintptr_t end = (reinterpret_cast<std::uintptr_t>(block) + length) & ~(page - 1);
  // Errors are ignored (a kernel before 5.14 refuses it): the writes will fault the pages in.
  if (end > start) madvise(reinterpret_cast<void *>(start), end - start, MADV_POPULATE_WRITE);
#else
  (void)block;
  (void)length;
#endif
}

void buffer_release(unsigned char *block) { std::free(block); }
