// The two buffers a secret passes through as hex on its way in and out: standard input's, and
// the one the hex line is spelled in. The tool's own rather than the runtime's (which would keep
// a copy of the input that nothing wipes): static, page-aligned, locked in memory and left out of
// dumps, like every other block that holds a secret.
#pragma once

#include <cstddef>

// The hex line is written out in chunks of this buffer, wiped once the line is out.
constexpr std::size_t kLineChunkBytes = 1 << 16;
extern char line_chunk[kLineChunkBytes];

// Makes the input buffer standard input's (of the runtime's own size for a pipe), and locks both.
// Called once at start-up, before anything is read.
void set_up_stream_buffers();

// Wipes what standard input's buffer holds, once the input has been read.
void wipe_input_buffer();
