#include "common/secure_wipe.h"

#include <cstring>

#if defined(_MSC_VER) && !defined(__clang__)
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#endif

void *secure_wipe(void *buffer, std::size_t length) {
  if (length == 0) return buffer;
#if defined(_MSC_VER) && !defined(__clang__)
  SecureZeroMemory(buffer, length);
#else
  std::memset(buffer, 0, length);
  // The barrier tells the compiler the zeroed bytes may be read, so the memset stays.
  __asm__ __volatile__("" : : "r"(buffer) : "memory");
#endif
  return buffer;
}
