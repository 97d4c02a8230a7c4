#include "common/buffer_alloc.h"

#include <cstdlib>

unsigned char *buffer_alloc(std::size_t size) {
  return static_cast<unsigned char *>(std::malloc(size));
}

void buffer_release(unsigned char *block) { std::free(block); }
