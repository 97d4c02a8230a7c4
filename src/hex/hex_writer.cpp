#include "common/secure_wipe.h"
#include "common/stream_io.h"
#include "hex/hex_digit.h"
#include "hex/hex_io.h"
#include "hex/stream_buffers.h"

WriteResult write_hex_line_to(std::FILE *out, const char *prefix, const unsigned char *bytes,
                              std::size_t length) {
  // The line goes out in whole chunks. In unprotect mode it spells the secret, so the chunk is
  // wiped once the line is out.
  WriteResult result = WriteResult::written;
  std::size_t used = 0;
  while (*prefix != '\0') line_chunk[used++] = *prefix++;
  for (std::size_t i = 0; i < length && result == WriteResult::written; ++i) {
    if (used + 2 > kLineChunkBytes) {
      result = write_all(out, line_chunk, used);
      used = 0;
    }
    const unsigned byte = bytes[i];
    line_chunk[used++] = hex_digit_char(byte >> 4);
    line_chunk[used++] = hex_digit_char(byte);
  }
  if (result == WriteResult::written) {
    if (used == kLineChunkBytes) {
      result = write_all(out, line_chunk, used);
      used = 0;
    }
    line_chunk[used++] = '\n';
    if (result == WriteResult::written) result = write_all(out, line_chunk, used);
  }
  secure_wipe(line_chunk, kLineChunkBytes);
  return result;
}
