#include "hex/hex_digit.h"
#include "hex/hex_io.h"
#include "hex/stream_bytes.h"

void write_hex_to(std::FILE *out, const unsigned char *bytes, std::size_t length) {
  for (std::size_t i = 0; i < length; ++i) {
    put_byte(hex_digit_char(bytes[i] >> 4), out);
    put_byte(hex_digit_char(bytes[i]), out);
  }
  put_byte('\n', out);
  std::fflush(out);
}
