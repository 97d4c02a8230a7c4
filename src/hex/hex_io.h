// Hex text over the standard streams: the input read to its end (or a line of it) and decoded,
// the output as one line of lower-case digits.
#pragma once

#include <cstddef>
#include <cstdio>

#include "common/secret_buffer.h"
#include "common/stream_io.h"

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
HexInput read_hex_input(const TextLimits &limits = kTextLimits);

// The two steps of reading hex: the text into a block the caller owns, then decoding it.

// Where reading hex text stopped.
enum class TextEnd {
  input_end,    // the end of input
  line_end,     // a line feed, reading one line
  too_long,     // a significant character did not fit: over the limit, or memory ran out
  read_failed,  // a read error: the text is cut short
};

class LineInput;

// Reads the hex text of `in` to its end into `text`, which holds no text yet: spaces, carriage
// returns and line feeds are dropped, every other byte is held. Without a block, `text` first
// takes one of `limits.initial_capacity` bytes; it doubles within `limits` as the text grows (the
// outgrown block wiped), and is locked in memory ahead of the text. On every outcome,
// `text.length` counts the characters held.
TextEnd read_hex_text(std::FILE *in, SecretBuffer &text, const TextLimits &limits = kTextLimits);
// The same for one line: its line feed, taken, ends the text.
TextEnd read_hex_line(LineInput &in, SecretBuffer &text, const TextLimits &limits = kTextLimits);

// Decodes the text held in `text` into a new block of `decoded`, one byte longer than the
// decoded bytes and locked. False, with nothing held in `decoded`, when the count is odd, a
// character is no hex digit, or memory runs out.
bool decode_hex_text(const SecretBuffer &text, SecretBuffer &decoded);

// Decodes `pairs` pairs of hex digits from `text` into `out`. Returns false when any character
// is no hex digit; every pair is converted either way, so no digit steers a branch.
bool decode_hex_pairs(const unsigned char *text, std::size_t pairs, unsigned char *out);

// Writes `prefix` (a short text without line feeds), `length` bytes as lower-case hex and a line
// feed through `out`, in whole chunks, stopping at the first chunk that does not go out whole; the
// chunk is wiped once the line is out.
WriteResult write_hex_line_to(std::FILE *out, const char *prefix, const unsigned char *bytes,
                              std::size_t length);

// Writes `length` bytes as lower-case hex and a line feed, then flushes. False when the line did
// not reach `out`'s file whole (a reader that closed its end early is no failure: see
// write_fully).
inline bool write_hex_to(std::FILE *out, const unsigned char *bytes, std::size_t length) {
  return write_hex_line_to(out, "", bytes, length) != WriteResult::failed;
}
inline bool write_hex_line(const unsigned char *bytes, std::size_t length) {
  return write_hex_to(stdout, bytes, length);
}
