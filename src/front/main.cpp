#include <cstdio>

#include "front/command_line.h"

#ifndef _WIN32
#include <csignal>
#endif

int main(int argc, char **argv) {
  // Each message reaches the caller whole and at once, even if the process dies after it.
  std::setvbuf(stderr, nullptr, _IONBF, 0);
#ifndef _WIN32
  // A reader that closes its end early must not turn into a death by signal: write errors are
  // ignored and the status stays the tool's own.
  std::signal(SIGPIPE, SIG_IGN);
#endif
  return run_command_line(argc, argv);
}
