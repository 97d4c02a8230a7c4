// Run under valgrind's memcheck: the secret bytes are marked undefined, so memcheck reports every
// branch and every memory index that depends on them while they are encoded to hex and decoded
// again. Only the decoder's valid/invalid verdict is declassified before it is looked at.
#include <valgrind/memcheck.h>

#include <cstdio>
#include <cstring>

#include "hex/hex_io.h"

namespace {

constexpr std::size_t kBytes = 256;

bool check(bool ok, const char *what) {
  if (!ok) std::fprintf(stderr, "constant-time check: %s\n", what);
  return ok;
}

}  // namespace

int main() {
  if (!check(RUNNING_ON_VALGRIND != 0, "run me under valgrind --tool=memcheck")) return 1;

  unsigned char secret[kBytes];
  for (std::size_t i = 0; i < kBytes; ++i) secret[i] = static_cast<unsigned char>(i);
  unsigned char expected[kBytes];
  std::memcpy(expected, secret, kBytes);
  VALGRIND_MAKE_MEM_UNDEFINED(secret, kBytes);

  // Encode through a memory stream, so the undefined digits reach no system call.
  unsigned char text[2 * kBytes + 1];
  std::FILE *out = fmemopen(text, sizeof text, "wb");
  write_hex_to(out, secret, kBytes);
  std::fclose(out);

  unsigned char decoded[kBytes];
  bool valid = decode_hex_pairs(text, kBytes, decoded);
  VALGRIND_MAKE_MEM_DEFINED(&valid, sizeof valid);
  VALGRIND_MAKE_MEM_DEFINED(decoded, kBytes);
  bool ok = check(valid, "the digits of every byte value were refused") &&
            check(std::memcmp(decoded, expected, kBytes) == 0, "decoding changed the bytes");

  // Every byte value as a character, so the invalid ones take the same path as the digits.
  unsigned char characters[kBytes];
  std::memcpy(characters, expected, kBytes);
  VALGRIND_MAKE_MEM_UNDEFINED(characters, kBytes);
  valid = decode_hex_pairs(characters, kBytes / 2, decoded);
  VALGRIND_MAKE_MEM_DEFINED(&valid, sizeof valid);
  ok = check(!valid, "characters that are no hex digits were accepted") && ok;
  return ok ? 0 : 1;
}
