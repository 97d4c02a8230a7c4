#include "common/secret_buffer.h"

#include "common/buffer_alloc.h"
#include "common/secret_memory.h"
#include "common/secure_wipe.h"

SecretBuffer::SecretBuffer(SecretBuffer &&other) noexcept
    : bytes(other.bytes), capacity(other.capacity), length(other.length), locked(other.locked) {
  other.bytes = nullptr;
  other.capacity = 0;
  other.length = 0;
  other.locked = 0;
}

SecretBuffer &SecretBuffer::operator=(SecretBuffer &&other) noexcept {
  if (this != &other) {
    release();
    bytes = other.bytes;
    capacity = other.capacity;
    length = other.length;
    locked = other.locked;
    other.bytes = nullptr;
    other.capacity = 0;
    other.length = 0;
    other.locked = 0;
  }
  return *this;
}

bool SecretBuffer::allocate(std::size_t new_capacity) {
  release();
  bytes = buffer_alloc(new_capacity);
  if (bytes == nullptr) return false;
  capacity = new_capacity;
  guard_secret(bytes, capacity);
  return true;
}

std::size_t SecretBuffer::lock_through(std::size_t end) {
  if (end > capacity) end = capacity;
  if (end > locked) {
    lock_secret(bytes + locked, end - locked);
    locked = end;
  }
  return locked;
}

void SecretBuffer::clear() {
  secure_wipe(bytes, length);
  length = 0;
}

void SecretBuffer::release() {
  if (bytes == nullptr) return;
  secure_wipe(bytes, length);
  unguard_secret(bytes, capacity, locked);
  buffer_release(bytes);
  bytes = nullptr;
  capacity = 0;
  length = 0;
  locked = 0;
}
