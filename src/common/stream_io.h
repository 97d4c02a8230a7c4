// The standard streams as the caller may really hand them over: pipes it made non-blocking,
// readers that go away, disks that fill up.
#pragma once

#include <cstddef>
#include <cstdio>

// Writes `length` bytes through `out` and flushes it, waiting whenever a non-blocking descriptor
// is full. True when every byte reached the stream's file, and also when the reader closed its
// end early: it has stopped listening, which is no failure of the tool's. False on any other
// error (a full disk, a bad or read-only descriptor, the file-size limit). Knows exactly which
// bytes went out only on an unbuffered stream, as standard output is made at start-up: a stream's
// own buffer may drop what it held when a write fails.
bool write_fully(std::FILE *out, const void *bytes, std::size_t length);

// write_fully for a fixed text, without its terminating zero.
template <std::size_t N>
inline bool write_text_fully(std::FILE *out, const char (&text)[N]) {
  return write_fully(out, text, N - 1);
}

// Called when a read from `in` returned EOF. True when the read only would have blocked (a
// non-blocking descriptor with no input yet) or was interrupted: it has waited until input can
// be read, cleared the stream's error, and reading goes on. False at the end of input, and on a
// real read error, which stays on the stream.
bool input_may_follow(std::FILE *in);
