#include "hex/stream_buffers.h"

#include <cstdio>

#include "common/secret_memory.h"
#include "common/secure_wipe.h"

namespace {
// A page of its own: locking it reaches into no other block's pages.
alignas(4096) char input_buffer[4096];
}  // namespace

alignas(4096) char line_chunk[kLineChunkBytes];

void set_up_stream_buffers() {
  std::setvbuf(stdin, input_buffer, _IOFBF, sizeof input_buffer);
  guard_secret(input_buffer, sizeof input_buffer);
  lock_secret(input_buffer, sizeof input_buffer);
  guard_secret(line_chunk, sizeof line_chunk);
  lock_secret(line_chunk, sizeof line_chunk);
}

void wipe_input_buffer() { secure_wipe(input_buffer, sizeof input_buffer); }
