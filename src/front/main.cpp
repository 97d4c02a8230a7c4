#include <cstdio>

#include "front/command_line.h"

#ifndef _WIN32
#include <sys/resource.h>

#include <csignal>
#ifdef __linux__
#include <sys/prctl.h>
#endif
#endif
#ifdef __GLIBC__
#include <malloc.h>
#endif

// LeakSanitizer inspects the process through ptrace, which a non-dumpable process refuses.
#if defined(__SANITIZE_ADDRESS__)
#define VELKOR_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VELKOR_SANITIZED 1
#endif
#endif

namespace {

// Runs before anything is read, so no secret can reach a core file.
void keep_secrets_out_of_core_dumps() {
#ifndef _WIN32
  const struct rlimit none = {0, 0};
  setrlimit(RLIMIT_CORE, &none);
#if defined(__linux__) && !defined(VELKOR_SANITIZED)
  prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
#endif
#endif
}

}  // namespace

int main(int argc, char **argv) {
  keep_secrets_out_of_core_dumps();
#ifdef __GLIBC__
  // glibc raises its mmap threshold to the size of each mapped block freed, so later blocks below
  // it come from the heap, where freed memory may stay in the process. Fixed, every block from
  // 128 KiB up is a mapping of its own, given back to the system as soon as it is released, so
  // no released buffer adds to the peak memory.
  mallopt(M_MMAP_THRESHOLD, 128 * 1024);
#endif
  // Each message reaches the caller whole and at once, even if the process dies after it.
  std::setvbuf(stderr, nullptr, _IONBF, 0);
#ifndef _WIN32
  // A reader that closes its end early must not turn into a death by signal: write errors are
  // ignored and the status stays the tool's own.
  std::signal(SIGPIPE, SIG_IGN);
#endif
  return run_command_line(argc, argv);
}
