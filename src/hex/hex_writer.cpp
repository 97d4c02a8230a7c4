#include "common/secure_wipe.h"
#include "common/stream_io.h"
#include "hex/hex_digit.h"
#include "hex/hex_io.h"
#include "hex/stream_buffers.h"

bool write_hex_to(std::FILE *out, const unsigned char *bytes, std::size_t length) {
  // The line goes out in whole chunks. In unprotect mode it spells the secret, so the chunk is
  // wiped once the line is out.
  bool written = true;
  std::size_t used = 0;
  for (std::size_t i = 0; i < length && written; ++i) {
    const unsigned byte = bytes[i];
    line_chunk[used++] = hex_digit_char(byte >> 4);
    line_chunk[used++] = hex_digit_char(byte);
    if (used == kLineChunkBytes) {
      written = write_fully(out, line_chunk, used);
      used = 0;
    }
  }
  line_chunk[used++] = '\n';
  written = written && write_fully(out, line_chunk, used);
  secure_wipe(line_chunk, kLineChunkBytes);
  return written;
}
