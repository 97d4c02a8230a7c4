#include <cstring>
#include <utility>

#include "common/buffer_alloc.h"
#include "common/stream_io.h"
#include "hex/hex_digit.h"
#include "hex/hex_io.h"
#include "hex/stream_buffers.h"
#include "hex/stream_bytes.h"

namespace {

// The text buffer is locked in memory this far ahead of the characters stored, step by step as
// they arrive: locking a whole new block at once would bring in pages that may never be used.
constexpr std::size_t kLockStep = 256 * 1024;

// Doubles the text buffer. The old block is wiped by the move that replaces it, rather than left
// behind by realloc in freed memory.
bool grow(SecretBuffer &text, const TextLimits &limits) {
  if (text.capacity > limits.last_doublable_capacity) return false;
  SecretBuffer bigger;
  if (!bigger.allocate(text.capacity * 2)) return false;
  buffer_prefault(bigger.bytes, text.length);
  bigger.lock_through(text.length + kLockStep);  // before the text is copied in
  std::memcpy(bigger.bytes, text.bytes, text.length);
  bigger.length = text.length;
  text = std::move(bigger);
  return true;
}

}  // namespace

bool decode_hex_pairs(const unsigned char *text, std::size_t pairs, unsigned char *out) {
  int any_invalid = 0;
  for (std::size_t i = 0; i < pairs; ++i) {
    const int high = hex_digit_value(text[2 * i]);
    const int low = hex_digit_value(text[2 * i + 1]);
    any_invalid |= high | low;
    out[i] =
        static_cast<unsigned char>((static_cast<unsigned>(high) << 4) | static_cast<unsigned>(low));
  }
  return any_invalid >= 0;
}

HexInput read_hex_input() {
  HexInput input = read_hex_stream(stdin);
  wipe_input_buffer();
  return input;
}

HexInput read_hex_stream(std::FILE *in, const TextLimits &limits) {
  HexInput result;
  SecretBuffer text;
  if (!text.allocate(limits.initial_capacity)) return result;

  // Locals keep the loop in registers: stores through the byte pointer may alias `text`.
  unsigned char *stored = text.bytes;
  std::size_t count = 0;
  std::size_t capacity = text.capacity;
  std::size_t locked = text.lock_through(kLockStep);  // never beyond the capacity
  for (;;) {
    const int c = get_byte(in);
    if (c == EOF) {
      if (input_may_follow(in)) continue;
      break;
    }
    if (c == '\n' || c == '\r' || c == ' ') continue;
    if (count + 1 >= locked) {  // always keep one byte free, and lock ahead of the text
      text.length = count;
      if (count + 1 >= capacity && !grow(text, limits)) return result;
      stored = text.bytes;
      capacity = text.capacity;
      locked = text.lock_through(count + kLockStep);
    }
    stored[count++] = static_cast<unsigned char>(c);
  }
  text.length = count;

  // A read error would leave the input cut short: never decode a truncated secret.
  if (std::ferror(in) || count % 2 != 0) return result;

  const std::size_t decoded_length = count / 2;
  SecretBuffer decoded;
  if (!decoded.allocate(decoded_length + 1)) return result;
  decoded.length = decoded_length;
  buffer_prefault(decoded.bytes, decoded_length);
  decoded.lock_through(decoded_length);

  if (!decode_hex_pairs(stored, decoded_length, decoded.bytes)) return result;

  text.release();
  result.ok = true;
  result.bytes = std::move(decoded);
  return result;
}
