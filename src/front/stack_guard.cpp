// The stack protector's canary and its failure handler, for mingw-w64 builds, in place of those
// of the compiler's own runtime (libssp).
//
// libssp seeds its canary in a constructor through CryptAcquireContext, which loads a
// cryptographic provider, and the DLLs that provider needs, before main: before the tool has
// narrowed where DLLs may come from. Under Wine that provider took a crypt32.dll planted beside
// the tool. Here the canary comes, as MSVC's security cookie does, from what kernel32 answers
// without loading anything: clocks, process and thread ids, and addresses that ASLR randomises.
#include <windows.h>

#include <cstdint>

namespace {

constexpr UINT kStackBufferOverrun = 0xC0000409;  // STATUS_STACK_BUFFER_OVERRUN

// splitmix64's finaliser: every input bit reaches every output bit.
std::uint64_t mix(std::uint64_t value) {
  value = (value ^ (value >> 30)) * 0xBF58476D1CE4E5B9u;
  value = (value ^ (value >> 27)) * 0x94D049BB133111EBu;
  return value ^ (value >> 31);
}

}  // namespace

extern "C" {

// What every protected function's frame is checked against on return.
std::uintptr_t __stack_chk_guard;

// A failed check means a frame was overwritten: the process ends at once, with the code Windows
// gives a stack buffer overrun, and runs nothing of its own on the way.
[[noreturn]] void __stack_chk_fail() {
  TerminateProcess(GetCurrentProcess(), kStackBufferOverrun);
  __builtin_unreachable();
}

}  // extern "C"

namespace {

// Runs before every other constructor, and long before main; not itself protected, since the
// canary changes under it.
__attribute__((constructor(101), no_stack_protector)) void seed_stack_guard() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  LARGE_INTEGER counter;
  QueryPerformanceCounter(&counter);
  int on_the_stack = 0;
  std::uint64_t seed = mix((std::uint64_t{now.dwHighDateTime} << 32) | now.dwLowDateTime);
  seed = mix(seed ^ static_cast<std::uint64_t>(counter.QuadPart));
  seed = mix(seed ^ ((std::uint64_t{GetCurrentProcessId()} << 32) | GetCurrentThreadId()));
  seed = mix(seed ^ GetTickCount64());
  seed = mix(seed ^ reinterpret_cast<std::uintptr_t>(&on_the_stack));
  seed = mix(seed ^ reinterpret_cast<std::uintptr_t>(&__stack_chk_guard));
  // A zero byte first, as glibc's canary has: a string overrun cannot copy the canary past it.
  __stack_chk_guard = static_cast<std::uintptr_t>(seed) & ~std::uintptr_t{0xFF};
}

}  // namespace
