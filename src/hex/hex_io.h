// Hex text over the standard streams: the input read to its end and decoded, the output as one
// line of lower-case digits.
#pragma once

#include <cstddef>
#include <cstdio>

#include "common/secret_buffer.h"

// Growth of the text buffer: the first capacity, and the largest one that may still double.
// Input text is thereby capped at 33,554,431 significant characters.
constexpr std::size_t kTextInitialCapacity = 65536;
constexpr std::size_t kTextLastDoublableCapacity = 0x1000000;

// The decoded input. On success `bytes.length` is the decoded length and the block holds one
// byte more (so empty input still has a block); on failure nothing is held.
struct HexInput {
  bool ok = false;
  SecretBuffer bytes;
};

// Reads `in` to its end and decodes it. Prints nothing: the caller reports a failure. Every
// block of text or decoded bytes is wiped before it is released, whatever the path.
HexInput read_hex_stream(std::FILE *in);
inline HexInput read_hex_input() { return read_hex_stream(stdin); }

// Writes `length` bytes as lower-case hex and a line feed, then flushes. Errors are ignored.
void write_hex_to(std::FILE *out, const unsigned char *bytes, std::size_t length);
inline void write_hex_line(const unsigned char *bytes, std::size_t length) {
  write_hex_to(stdout, bytes, length);
}
