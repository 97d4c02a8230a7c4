// Byte-wise reading without the per-call lock: the tool has one thread.
#pragma once

#include <cstdio>

#ifdef _WIN32
inline int get_byte(std::FILE *in) { return _getc_nolock(in); }
#else
inline int get_byte(std::FILE *in) { return getc_unlocked(in); }
#endif
