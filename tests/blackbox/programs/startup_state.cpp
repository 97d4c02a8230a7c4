// Prints what the tool's start-up leaves in place for the rest of the process, as any code in it
// sees it: the stack protector's canary, and the error mode before and after harden_process().
//   canary 0123456789abcd00
//   error mode 0 8003
#include <windows.h>

#include <cstdint>
#include <cstdio>

#include "front/process_setup.h"

extern "C" std::uintptr_t __stack_chk_guard;

int main() {
  const UINT before = GetErrorMode();
  harden_process();
  const UINT after = GetErrorMode();
  std::printf("canary %016llx\nerror mode %x %x\n",
              static_cast<unsigned long long>(__stack_chk_guard), before, after);
  return 0;
}
