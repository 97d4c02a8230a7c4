// The standard streams as the caller may really hand them over: pipes it made non-blocking,
// readers that go away, disks that fill up.
#pragma once

#include <cstddef>
#include <cstdio>

// How a write ended.
enum class WriteResult {
  written,      // every byte reached the stream's file
  reader_gone,  // the reader closed its end early: it has stopped listening
  failed,       // any other error: a full disk, a bad or read-only descriptor, the file-size limit
};

// Writes `length` bytes through `out` and flushes it, waiting whenever a non-blocking descriptor
// is full; stops at the first byte that cannot go out. Knows exactly which bytes went out only on
// an unbuffered stream, as standard output is made at start-up: a stream's own buffer may drop
// what it held when a write fails.
WriteResult write_all(std::FILE *out, const void *bytes, std::size_t length);

// write_all for a caller that writes one result and ends: a reader that left early is no failure
// of the tool's, so only WriteResult::failed is false.
inline bool write_fully(std::FILE *out, const void *bytes, std::size_t length) {
  return write_all(out, bytes, length) != WriteResult::failed;
}

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

// Reads what the descriptor under `in` has now, up to `size` bytes, into `buffer`, bypassing the
// stream's own buffer (from which nothing must have been read): at least one byte, waiting for
// input on a non-blocking descriptor. Returns the count, 0 at the end of input, -1 on a read error.
long read_available(std::FILE *in, void *buffer, std::size_t size);
