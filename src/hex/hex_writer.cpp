#include "hex/hex_digit.h"
#include "hex/hex_io.h"
#include "hex/stream_bytes.h"

void write_hex_to(std::FILE *out, const unsigned char *bytes, std::size_t length) {
  for (std::size_t i = 0; i < length; ++i) {
    // Read once: the stream's stores may alias `bytes`, which would force a second load.
    const unsigned byte = bytes[i];
    put_byte(hex_digit_char(byte >> 4), out);
    put_byte(hex_digit_char(byte), out);
  }
  put_byte('\n', out);
  std::fflush(out);
}
