// A buffer allocator for tests: zero-filled blocks, chosen allocations failing, and a check that
// every block comes back all zero (a nonzero byte at release means a wipe was missed).
#pragma once

#include <cstddef>
#include <vector>

namespace fake_alloc {

// Forgets all counts; allocation number `fail_at` (counted from 1; 0 for none) and every later
// one fail.
void reset(std::size_t fail_at = 0);
std::size_t live_blocks();                // allocated and not yet released
std::size_t unwiped_releases();           // blocks released with a nonzero byte in them
std::size_t stray_prefaults();            // prefault hints not within one live block
const std::vector<std::size_t> &sizes();  // sizes asked for, in order, failed ones included
// Live blocks in which `bytes` appear anywhere.
std::size_t live_blocks_holding(const std::vector<unsigned char> &bytes);

}  // namespace fake_alloc
