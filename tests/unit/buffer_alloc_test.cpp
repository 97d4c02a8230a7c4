// The tool's own allocator, where it does more than the heap: the prefault hint (Linux).
#include "common/buffer_alloc.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <vector>

namespace {

TEST(BufferPrefault, MapsTheWholePagesInsideTheRangeAndNoOther) {
  const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  const std::size_t pages = 64;  // a fresh mapping, too small for a huge page
  void *mapping =
      mmap(nullptr, pages * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(mapping, MAP_FAILED);
  auto *region = static_cast<unsigned char *>(mapping);
#ifdef MADV_POPULATE_WRITE
  if (madvise(region + (pages - 1) * page, page, MADV_POPULATE_WRITE) != 0 && errno == EINVAL) {
    munmap(mapping, pages * page);
    GTEST_SKIP() << "this kernel cannot prefault; the hint does nothing here";
  }
#else
  GTEST_SKIP() << "these headers cannot prefault; the hint does nothing here";
#endif

  // From the middle of page 1 to the middle of page 11: pages 2 to 10 lie wholly inside.
  buffer_prefault(region + page + 100, 10 * page);
  std::vector<unsigned char> resident(pages);
  ASSERT_EQ(mincore(mapping, pages * page, resident.data()), 0);
  for (std::size_t i = 0; i < pages - 1; ++i) {
    EXPECT_EQ(resident[i] & 1, i >= 2 && i <= 10 ? 1 : 0) << "page " << i;
  }
  for (std::size_t i = 0; i < pages * page; ++i) ASSERT_EQ(region[i], 0) << "byte " << i;
  munmap(mapping, pages * page);
}

}  // namespace
