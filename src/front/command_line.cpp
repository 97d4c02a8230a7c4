#include "front/command_line.h"

#include <cstdio>
#include <cstring>

#include "common/exit_status.h"
#include "common/stream_text.h"
#include "protect/seal_command.h"
#include "protect/selftest.h"
#include "protect/session_command.h"

namespace {

int run_protect() { return run_seal_command(SealMode::seal); }
int run_unprotect() { return run_seal_command(SealMode::unseal); }
int run_session_command() { return run_session(); }

struct Command {
  const char *word;
  int (*run)();
};

// Looked up in this order, by exact byte comparison.
const Command command_table[] = {
    {"selftest", run_selftest},
    {"protect", run_protect},
    {"unprotect", run_unprotect},
    {"session", run_session_command},
};

}  // namespace

int run_command_line(int argc, char **argv) {
  if (argc != 2) {
    put_text(stderr, "usage: velkor-dpapi protect|unprotect|selftest\n");
    return EXIT_USAGE;
  }
  for (const Command &command : command_table) {
    if (std::strcmp(argv[1], command.word) == 0) return command.run();
  }
  put_text(stderr, "unknown command\n");
  return EXIT_USAGE;
}
