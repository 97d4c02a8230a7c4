#pragma once

#include <cstddef>

// Owns one block from buffer_alloc, kept out of crash reports and core dumps while it lives, and
// locked in memory as far as it is filled. Whenever the block goes, by release(), by a move onto
// this buffer or by destruction, its first `length` bytes are wiped first, so no path can forget
// it.
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
  // Locks the block in memory up to `end` bytes (no further than its capacity), ahead of the
  // bytes being written there; returns how far it is now locked.
  std::size_t lock_through(std::size_t end);
  // Wipes the bytes in use and keeps the block, empty, for the next use.
  void clear();
  // Wipes the bytes in use and returns the block to the allocator.
  void release();

  unsigned char *bytes = nullptr;
  std::size_t capacity = 0;
  std::size_t length = 0;  // bytes in use: the ones that get wiped
  std::size_t locked = 0;  // bytes from the start locked in memory (asked for, at least)
};
