// Hex digit conversion by arithmetic on the byte alone: no branch and no table index depends on
// the byte's value, so a secret digit cannot show through timing or cache traces.
#pragma once

// The value 0..15 of the hex digit `c` (either case), or -1 when `c` is no hex digit.
inline int hex_digit_value(unsigned char c) {
  const unsigned decimal = c ^ 48u;                    // '0'..'9' map to 0..9
  const unsigned decimal_mask = (decimal - 10u) >> 8;  // nonzero iff decimal < 10
  const unsigned letter = (c & ~32u) - 55u;            // 'A'..'F', 'a'..'f' map to 10..15
  const unsigned letter_mask = ((letter - 10u) ^ (letter - 16u)) >> 8;  // nonzero iff 10..15
  const unsigned value = (decimal_mask & decimal) | (letter_mask & letter);
  const unsigned invalid = ((decimal_mask | letter_mask) - 1u) >> 31;  // 1 iff neither mask is set
  return static_cast<int>(value) - static_cast<int>(invalid);          // value is 0 when invalid
}

// The lower-case hex digit of the low four bits of `nibble`.
inline char hex_digit_char(unsigned nibble) {
  const unsigned n = nibble & 15u;
  // 'a' - 10 + n for 10..15; for 0..9 the mask subtracts 39 more, giving '0' + n.
  return static_cast<char>(87u + n + (((n - 10u) >> 8) & ~38u));
}
