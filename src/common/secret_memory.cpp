#include "common/secret_memory.h"

#include <cstdint>

#ifdef _WIN32
#include "common/system_function.h"
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace {

#ifdef _WIN32

using RegisterExcluded = HRESULT(WINAPI *)(const void *, DWORD);
using UnregisterExcluded = HRESULT(WINAPI *)(const void *);

// The most one registration takes (WER_MAX_MEM_BLOCK_SIZE): a typical secret's blocks whole, the
// start of a larger one.
constexpr std::size_t kMaxExcludedBytes = 64 * 1024;

#else

// The whole pages that hold any of the bytes: what the page-wise calls take.
struct Pages {
  void *start;
  std::size_t length;
};

Pages pages_of(void *bytes, std::size_t length) {
  const std::uintptr_t page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  const std::uintptr_t first = reinterpret_cast<std::uintptr_t>(bytes) & ~(page - 1);
  const std::uintptr_t end =
      (reinterpret_cast<std::uintptr_t>(bytes) + length + page - 1) & ~(page - 1);
  return {reinterpret_cast<void *>(first), end - first};
}

#endif

}  // namespace

void guard_secret(void *block, std::size_t size) {
  if (size == 0) return;
#ifdef _WIN32
  static const auto exclude = kernel32_function<RegisterExcluded>("WerRegisterExcludedMemoryBlock");
  if (exclude != nullptr) {
    exclude(block, static_cast<DWORD>(size < kMaxExcludedBytes ? size : kMaxExcludedBytes));
  }
#elif defined(MADV_DONTDUMP)
  const Pages pages = pages_of(block, size);
  madvise(pages.start, pages.length, MADV_DONTDUMP);
#else
  (void)block;
#endif
}

void lock_secret(void *bytes, std::size_t length) {
  if (length == 0) return;
#ifdef _WIN32
  if (VirtualLock(bytes, length) || GetLastError() != ERROR_WORKING_SET_QUOTA) return;
  // A process may lock no more than its minimum working set: raise it by what these pages need.
  SIZE_T minimum = 0;
  SIZE_T maximum = 0;
  const HANDLE process = GetCurrentProcess();
  const SIZE_T more = length + 2 * 4096;
  if (GetProcessWorkingSetSize(process, &minimum, &maximum) &&
      SetProcessWorkingSetSize(process, minimum + more, maximum + more)) {
    VirtualLock(bytes, length);
  }
#else
  mlock(bytes, length);
#endif
}

void unguard_secret(void *block, std::size_t size, std::size_t locked) {
  if (size == 0) return;
#ifdef _WIN32
  if (locked != 0) VirtualUnlock(block, locked);
  static const auto include =
      kernel32_function<UnregisterExcluded>("WerUnregisterExcludedMemoryBlock");
  if (include != nullptr) include(block);
#else
  if (locked != 0) munlock(block, locked);
#ifdef MADV_DODUMP
  const Pages pages = pages_of(block, size);
  madvise(pages.start, pages.length, MADV_DODUMP);
#endif
#endif
}
