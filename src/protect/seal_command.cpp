#include "protect/seal_command.h"

#include <cstdio>

#include "common/exit_status.h"
#include "common/secret_memory.h"
#include "common/secure_wipe.h"
#include "common/stream_text.h"
#include "hex/hex_io.h"

SealOutcome seal_to_line(SealMode mode, SecretBuffer &input, const char *prefix) {
  // The decoded length is at most 16,777,215, so it fits the blob's 32-bit count.
  DATA_BLOB in_blob = {static_cast<DWORD>(input.length), input.bytes};
  DATA_BLOB out_blob;
  const bool done = call_platform(mode, &in_blob, &out_blob);
  const DWORD error = done ? 0 : GetLastError();
  input.release();
  if (!done) return {false, error, WriteResult::failed};

  // The output holds the sealed blob, or the secret itself: out of swap and dumps until wiped.
  guard_secret(out_blob.pbData, out_blob.cbData);
  lock_secret(out_blob.pbData, out_blob.cbData);
  const WriteResult written = write_hex_line_to(stdout, prefix, out_blob.pbData, out_blob.cbData);
  secure_wipe(out_blob.pbData, out_blob.cbData);
  unguard_secret(out_blob.pbData, out_blob.cbData, out_blob.cbData);
  LocalFree(out_blob.pbData);
  return {true, 0, written};
}

void seal_failure_message(char (&text)[kSealFailureBytes], SealMode mode, DWORD error) {
  std::snprintf(text, sizeof text, "DPAPI %s failed (error %lu)",
                mode == SealMode::seal ? "protect" : "unprotect",
                static_cast<unsigned long>(error));
}

int run_seal_command(SealMode mode, const TextLimits &limits) {
  HexInput input = read_hex_input(limits);
  if (!input.ok) {
    put_text(stderr, "bad input\n");
    return EXIT_BAD_INPUT;
  }

  const SealOutcome outcome = seal_to_line(mode, input.bytes, "");
  if (!outcome.sealed) {
    char message[kSealFailureBytes];
    seal_failure_message(message, mode, outcome.error);
    std::fprintf(stderr, "%s\n", message);
    return EXIT_SEAL_FAILED;
  }
  if (outcome.written == WriteResult::failed) {
    put_text(stderr, "write failed\n");
    return EXIT_WRITE_FAILED;
  }
  return EXIT_OK;
}
