// Hex digit conversion by arithmetic on the byte alone: no branch and no table index depends on
// the byte's value, so a secret digit cannot show through timing or cache traces.
#pragma once

#include <cstdint>

// The value 0..15 of the hex digit `c` (either case), or -1 when `c` is no hex digit.
// Every step fits 16 bits and wraps below zero as on 32, so it is done on 16: a loop over many
// digits then vectorises eight digits to a 128-bit register instead of four.
inline int hex_digit_value(unsigned char c) {
  using u16 = std::uint16_t;
  const u16 decimal = u16(c ^ 48u);                       // '0'..'9' map to 0..9
  const u16 decimal_mask = u16(u16(decimal - 10u) >> 8);  // 0xFF iff decimal < 10
  const u16 letter = u16((c & ~32u) - 55u);               // 'A'..'F', 'a'..'f' map to 10..15
  const u16 letter_mask = u16(u16(u16(letter - 10u) ^ u16(letter - 16u)) >> 8);  // 0xFF iff 10..15
  const u16 value = u16((decimal_mask & decimal) | (letter_mask & letter));
  const u16 invalid = u16(u16((decimal_mask | letter_mask) - 1u) >> 15);  // 1 iff neither is set
  return int{value} - int{invalid};                                       // value is 0 when invalid
}

// The lower-case hex digit of the low four bits of `nibble`.
inline char hex_digit_char(unsigned nibble) {
  const unsigned n = nibble & 15u;
  // 'a' - 10 + n for 10..15; for 0..9 the mask subtracts 39 more, giving '0' + n.
  return static_cast<char>(87u + n + (((n - 10u) >> 8) & ~38u));
}
