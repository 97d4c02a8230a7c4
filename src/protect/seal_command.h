#pragma once

#include <cstddef>

#include "common/secret_buffer.h"
#include "common/stream_io.h"
#include "hex/hex_io.h"
#include "protect/seal_calls.h"

// The protect and unprotect commands: hex from standard input through one platform call to one
// hex line on standard output. Returns EXIT_OK, EXIT_BAD_INPUT, EXIT_SEAL_FAILED or
// EXIT_WRITE_FAILED. The limits are the reader's (scaled down by tests).
int run_seal_command(SealMode mode, const TextLimits &limits = kTextLimits);

// What sealing or opening one input came to.
struct SealOutcome {
  bool sealed;          // false: the platform refused, and nothing was written
  DWORD error;          // the platform's code, when it refused
  WriteResult written;  // how the line went out, when it sealed
};

// The one seal path of every command that takes hex: seals or opens the decoded `input` with one
// platform call, then wipes and releases it; writes `prefix` and the output as one hex line to
// standard output; and wipes and releases the output, which is locked and out of dumps meanwhile.
SealOutcome seal_to_line(SealMode mode, SecretBuffer &input, const char *prefix);

// The message a refused call ends the protect and unprotect commands with, without a line feed
// ("DPAPI unprotect failed (error 13)"), written into `text`.
constexpr std::size_t kSealFailureBytes = 64;
void seal_failure_message(char (&text)[kSealFailureBytes], SealMode mode, DWORD error);
