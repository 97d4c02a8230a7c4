// Byte-wise reading without the per-call lock: the tool has one thread.
#pragma once

#include <cstdio>

#ifdef _WIN32
inline int get_byte(std::FILE *in) { return _getc_nolock(in); }
#else
inline int get_byte(std::FILE *in) { return getc_unlocked(in); }
#endif

// What a byte source gives instead of a byte: the end of input, or a read error (which is never
// to be taken for the end of input: the text would be cut short).
constexpr int kEndOfInput = EOF;
constexpr int kReadFailed = EOF - 1;
