#pragma once

#include "protect/seal_calls.h"

// The protect and unprotect commands: hex from standard input through one platform call to one
// hex line on standard output. Returns EXIT_OK, EXIT_BAD_INPUT, EXIT_SEAL_FAILED or
// EXIT_WRITE_FAILED.
int run_seal_command(SealMode mode);
