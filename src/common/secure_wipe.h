#pragma once

#include <cstddef>

// Zeroes `length` bytes at `buffer` in a way the optimiser may not drop, and returns `buffer`.
// A length of 0 touches nothing, so `buffer` may then be null.
void *secure_wipe(void *buffer, std::size_t length);
