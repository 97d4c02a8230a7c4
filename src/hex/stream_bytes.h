// Byte-wise stream access without the per-call lock: the tool has one thread.
#pragma once

#include <cstdio>

#ifdef _WIN32
inline int get_byte(std::FILE *in) { return _getc_nolock(in); }
inline void put_byte(int c, std::FILE *out) { _putc_nolock(c, out); }
#else
inline int get_byte(std::FILE *in) { return getc_unlocked(in); }
inline void put_byte(int c, std::FILE *out) { putc_unlocked(c, out); }
#endif
