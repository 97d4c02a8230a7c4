#include <cstring>
#include <utility>

#include "common/buffer_alloc.h"
#include "common/stream_io.h"
#include "hex/hex_digit.h"
#include "hex/hex_io.h"
#include "hex/line_input.h"
#include "hex/stream_buffers.h"
#include "hex/stream_bytes.h"

namespace {

// The text buffer is locked in memory this far ahead of the characters stored, step by step as
// they arrive: locking a whole new block at once would bring in pages that may never be used.
constexpr std::size_t kLockStep = 256 * 1024;

// No byte is this value: reading to the end of input stops at no character.
constexpr int kNoStop = 256;

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

// A stream read byte by byte through its own buffer, waiting on a non-blocking descriptor.
struct StreamSource {
  std::FILE *in;

  int get() {
    const int c = get_byte(in);
    return c != EOF ? c : after_eof();
  }

  int after_eof() {
    while (input_may_follow(in)) {
      const int c = get_byte(in);
      if (c != EOF) return c;
    }
    return std::ferror(in) ? kReadFailed : kEndOfInput;
  }
};

// Reads text from `source` into `text` until the end of input or the byte `stop`.
template <int stop, typename Source>
TextEnd read_text(Source &source, SecretBuffer &text, const TextLimits &limits) {
  if (text.bytes == nullptr && !text.allocate(limits.initial_capacity)) return TextEnd::too_long;

  // Locals keep the loop in registers: stores through the byte pointer may alias `text`.
  unsigned char *stored = text.bytes;
  std::size_t count = text.length;
  std::size_t capacity = text.capacity;
  std::size_t locked = text.lock_through(count + kLockStep);  // never beyond the capacity
  TextEnd end;
  for (;;) {
    const int c = source.get();
    if (c < 0) {
      end = c == kEndOfInput ? TextEnd::input_end : TextEnd::read_failed;
      break;
    }
    if (c == stop) {
      end = TextEnd::line_end;
      break;
    }
    if (c == '\n' || c == '\r' || c == ' ') continue;
    if (count + 1 >= locked) {  // always keep one byte free, and lock ahead of the text
      text.length = count;
      if (count + 1 >= capacity && !grow(text, limits)) return TextEnd::too_long;
      stored = text.bytes;
      capacity = text.capacity;
      locked = text.lock_through(count + kLockStep);
    }
    stored[count++] = static_cast<unsigned char>(c);
  }
  text.length = count;
  return end;
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

TextEnd read_hex_text(std::FILE *in, SecretBuffer &text, const TextLimits &limits) {
  StreamSource source{in};
  return read_text<kNoStop>(source, text, limits);
}

TextEnd read_hex_line(LineInput &in, SecretBuffer &text, const TextLimits &limits) {
  return read_text<'\n'>(in, text, limits);
}

bool decode_hex_text(const SecretBuffer &text, SecretBuffer &decoded) {
  decoded.release();
  if (text.length % 2 != 0) return false;
  const std::size_t decoded_length = text.length / 2;
  if (!decoded.allocate(decoded_length + 1)) return false;
  decoded.length = decoded_length;
  buffer_prefault(decoded.bytes, decoded_length);
  decoded.lock_through(decoded_length);
  if (decode_hex_pairs(text.bytes, decoded_length, decoded.bytes)) return true;
  decoded.release();
  return false;
}

HexInput read_hex_input(const TextLimits &limits) {
  HexInput input = read_hex_stream(stdin, limits);
  wipe_input_buffer();
  return input;
}

HexInput read_hex_stream(std::FILE *in, const TextLimits &limits) {
  HexInput result;
  SecretBuffer text;
  // A read error would leave the input cut short: never decode a truncated secret.
  if (read_hex_text(in, text, limits) != TextEnd::input_end) return result;
  SecretBuffer decoded;
  if (!decode_hex_text(text, decoded)) return result;
  text.release();
  result.ok = true;
  result.bytes = std::move(decoded);
  return result;
}
