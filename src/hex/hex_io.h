// Hex text over the standard streams: the input read to its end and decoded, the output as one
// line of lower-case digits.
#pragma once

#include <cstddef>
#include <cstdio>

#include "common/secret_buffer.h"

// Growth of the text buffer: its first capacity, and the largest capacity that may still double.
struct TextLimits {
  std::size_t initial_capacity;
  std::size_t last_doublable_capacity;
};
// 64 KiB, doubling up to 32 MiB: at most 33,554,431 significant characters are held.
constexpr TextLimits kTextLimits = {65536, 0x1000000};

// The decoded input. On success `bytes.length` is the decoded length and the block holds one
// byte more (so empty input still has a block); on failure nothing is held.
struct HexInput {
  bool ok = false;
  SecretBuffer bytes;
};

// Reads `in` to its end and decodes it, waiting for input on a non-blocking descriptor. Prints
// nothing: the caller reports a failure. Every block of text or decoded bytes is wiped before it
// is released, whatever the path.
HexInput read_hex_stream(std::FILE *in, const TextLimits &limits = kTextLimits);
// The same for standard input, whose buffer is wiped once it is read.
HexInput read_hex_input();

// Decodes `pairs` pairs of hex digits from `text` into `out`. Returns false when any character
// is no hex digit; every pair is converted either way, so no digit steers a branch.
bool decode_hex_pairs(const unsigned char *text, std::size_t pairs, unsigned char *out);

// Writes `length` bytes as lower-case hex and a line feed, then flushes. False when the line did
// not reach `out`'s file whole (a reader that closed its end early is no failure: see
// write_fully).
bool write_hex_to(std::FILE *out, const unsigned char *bytes, std::size_t length);
inline bool write_hex_line(const unsigned char *bytes, std::size_t length) {
  return write_hex_to(stdout, bytes, length);
}
