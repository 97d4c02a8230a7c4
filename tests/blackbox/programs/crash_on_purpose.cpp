// Crashes on purpose, the way the argument says, after the tool's own start-up hardening:
//   fault      writes to a page no access is allowed to
//   overflow   writes past a buffer on the stack, over the stack protector's canary
//   control    the fault without the hardening, as the tool was before it
// Hardened, the process must end at once with the crash's own code, with no debugger, error
// report or dump in between to carry a secret away.
#include <windows.h>

#include <cstdlib>
#include <cstring>

#include "front/process_setup.h"

namespace {

void fault() {
  auto *forbidden = static_cast<volatile int *>(
      VirtualAlloc(nullptr, 4096, MEM_RESERVE | MEM_COMMIT, PAGE_NOACCESS));
  *forbidden = 1;
}

// `length` comes from outside, so the compiler cannot see the overrun coming.
__attribute__((noinline)) void overflow(std::size_t length) {
  char buffer[16];
  std::memset(buffer, 'x', length);
  asm volatile("" : : "r"(buffer) : "memory");  // the buffer counts: its writes must happen
}

}  // namespace

int main(int argc, char **argv) {
  const char *how = argc > 1 ? argv[1] : "";
  if (std::strcmp(how, "control") != 0) harden_process();
  if (std::strcmp(how, "overflow") == 0) {
    overflow(std::strtoul(argc > 2 ? argv[2] : "64", nullptr, 10));
  } else {
    fault();
  }
  return 0;
}
