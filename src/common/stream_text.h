#pragma once

#include <cstddef>
#include <cstdio>

// Writes a fixed text as raw bytes, without its terminating zero. Write errors are ignored.
template <std::size_t N>
inline void put_text(std::FILE *stream, const char (&text)[N]) {
  std::fwrite(text, 1, N - 1, stream);
}
