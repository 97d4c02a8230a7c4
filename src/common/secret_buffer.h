#pragma once

#include <cstddef>

// Owns one block from buffer_alloc. Whenever the block goes, by release(), by a move onto this
// buffer or by destruction, its first `length` bytes are wiped first, so no path can forget it.
class SecretBuffer {
 public:
  SecretBuffer() = default;
  ~SecretBuffer() { release(); }
  SecretBuffer(SecretBuffer &&other) noexcept;
  SecretBuffer &operator=(SecretBuffer &&other) noexcept;
  SecretBuffer(const SecretBuffer &) = delete;
  SecretBuffer &operator=(const SecretBuffer &) = delete;

  // Releases any block held, then takes a new one of `capacity` bytes; false when memory runs out.
  bool allocate(std::size_t capacity);
  // Wipes the bytes in use and returns the block to the allocator.
  void release();

  unsigned char *bytes = nullptr;
  std::size_t capacity = 0;
  std::size_t length = 0;  // bytes in use: the ones that get wiped
};
