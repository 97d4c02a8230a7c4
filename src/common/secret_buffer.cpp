#include "common/secret_buffer.h"

#include "common/buffer_alloc.h"
#include "common/secure_wipe.h"

SecretBuffer::SecretBuffer(SecretBuffer &&other) noexcept
    : bytes(other.bytes), capacity(other.capacity), length(other.length) {
  other.bytes = nullptr;
  other.capacity = 0;
  other.length = 0;
}

SecretBuffer &SecretBuffer::operator=(SecretBuffer &&other) noexcept {
  if (this != &other) {
    release();
    bytes = other.bytes;
    capacity = other.capacity;
    length = other.length;
    other.bytes = nullptr;
    other.capacity = 0;
    other.length = 0;
  }
  return *this;
}

bool SecretBuffer::allocate(std::size_t new_capacity) {
  release();
  bytes = buffer_alloc(new_capacity);
  if (bytes == nullptr) return false;
  capacity = new_capacity;
  return true;
}

void SecretBuffer::release() {
  if (bytes == nullptr) return;
  secure_wipe(bytes, length);
  buffer_release(bytes);
  bytes = nullptr;
  capacity = 0;
  length = 0;
}
