#include "common/buffer_alloc.h"

#include <cstdint>
#include <cstdlib>

#ifdef _WIN32
#include <malloc.h>
#else
#include <unistd.h>
#ifdef __linux__
#include <sys/mman.h>
#endif
#endif

namespace {

std::size_t page_size() {
#ifdef _WIN32
  return 4096;
#else
  return static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
#endif
}

}  // namespace

// Blocks start on a page and fill whole pages, so that locking one in memory, or leaving it out
// of dumps, never reaches into another block's pages (nor unlocks them again on release).
unsigned char *buffer_alloc(std::size_t size) {
  const std::size_t page = page_size();
  if (size > SIZE_MAX - page) return nullptr;
  const std::size_t whole_pages = (size + page - 1) & ~(page - 1);
#ifdef _WIN32
  return static_cast<unsigned char *>(_aligned_malloc(whole_pages, page));
#else
  void *block = nullptr;
  return posix_memalign(&block, page, whole_pages) == 0 ? static_cast<unsigned char *>(block)
                                                        : nullptr;
#endif
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

void buffer_release(unsigned char *block) {
#ifdef _WIN32
  _aligned_free(block);
#else
  std::free(block);
#endif
}
