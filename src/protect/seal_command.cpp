#include "protect/seal_command.h"

#include <cstdio>

#include "common/exit_status.h"
#include "common/secret_memory.h"
#include "common/secure_wipe.h"
#include "common/stream_text.h"
#include "hex/hex_io.h"

int run_seal_command(SealMode mode) {
  HexInput input = read_hex_input();
  if (!input.ok) {
    put_text(stderr, "bad input\n");
    return EXIT_BAD_INPUT;
  }

  // The decoded length is at most 16,777,215, so it fits the blob's 32-bit count.
  DATA_BLOB in_blob = {static_cast<DWORD>(input.bytes.length), input.bytes.bytes};
  DATA_BLOB out_blob;
  const bool done = call_platform(mode, &in_blob, &out_blob);
  const DWORD error = done ? 0 : GetLastError();
  input.bytes.release();

  if (!done) {
    std::fprintf(stderr, "DPAPI %s failed (error %lu)\n",
                 mode == SealMode::seal ? "protect" : "unprotect",
                 static_cast<unsigned long>(error));
    return EXIT_SEAL_FAILED;
  }

  // The output holds the sealed blob, or the secret itself: out of swap and dumps until wiped.
  guard_secret(out_blob.pbData, out_blob.cbData);
  lock_secret(out_blob.pbData, out_blob.cbData);
  const bool written = write_hex_line(out_blob.pbData, out_blob.cbData);
  secure_wipe(out_blob.pbData, out_blob.cbData);
  unguard_secret(out_blob.pbData, out_blob.cbData, out_blob.cbData);
  LocalFree(out_blob.pbData);
  if (!written) {
    put_text(stderr, "write failed\n");
    return EXIT_WRITE_FAILED;
  }
  return EXIT_OK;
}
