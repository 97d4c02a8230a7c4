#include "common/secure_wipe.h"
#include "common/stream_io.h"
#include "hex/hex_digit.h"
#include "hex/hex_io.h"

bool write_hex_to(std::FILE *out, const unsigned char *bytes, std::size_t length) {
  // The line goes out in whole chunks. In unprotect mode it spells the secret, so the chunk is
  // wiped before it goes.
  char chunk[1 << 16];
  bool written = true;
  std::size_t used = 0;
  for (std::size_t i = 0; i < length && written; ++i) {
    const unsigned byte = bytes[i];
    chunk[used++] = hex_digit_char(byte >> 4);
    chunk[used++] = hex_digit_char(byte);
    if (used == sizeof chunk) {
      written = write_fully(out, chunk, used);
      used = 0;
    }
  }
  chunk[used++] = '\n';
  written = written && write_fully(out, chunk, used);
  secure_wipe(chunk, sizeof chunk);
  return written;
}
