// The allocator behind the blocks that hold input text and decoded bytes.
//
// Its definition is chosen at link time: the tool links the ordinary heap, tests link a fake that
// can fail chosen allocations and checks that every block comes back wiped.
#pragma once

#include <cstddef>

// Returns a block of `size` bytes, or null when memory runs out.
unsigned char *buffer_alloc(std::size_t size);

// Says that the first `length` bytes of `block` are about to be written in full, so their pages
// may be mapped in one call instead of one page fault each. A hint only: no byte changes, and no
// page beyond those bytes is touched.
void buffer_prefault(unsigned char *block, std::size_t length);

// Returns a block to the allocator; the caller has wiped it. Accepts null.
void buffer_release(unsigned char *block);
