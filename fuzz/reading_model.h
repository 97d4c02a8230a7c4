// What the fuzzers' models of hex reading share: the scaled-down text limit, so that short inputs
// reach it, and a digit's value as the reading rules give it.
#pragma once

#include "hex/hex_io.h"

constexpr TextLimits kSmallLimits = {16, 256};  // held text caps at 511 characters

inline int model_digit(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}
