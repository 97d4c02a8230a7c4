#include "front/command_line.h"
#include "front/process_setup.h"

#ifdef __GLIBC__
#include <malloc.h>
#endif

int main(int argc, char **argv) {
  harden_process();
#ifdef __GLIBC__
  // glibc raises its mmap threshold to the size of each mapped block freed, so later blocks below
  // it come from the heap, where freed memory may stay in the process. Fixed, every block from
  // 128 KiB up is a mapping of its own, given back to the system as soon as it is released, so
  // no released buffer adds to the peak memory.
  mallopt(M_MMAP_THRESHOLD, 128 * 1024);
#endif
  set_up_standard_streams();
  return run_command_line(argc, argv);
}
