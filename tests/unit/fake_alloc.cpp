#include "fake_alloc.h"

#include <algorithm>
#include <cstdlib>
#include <map>

#include "common/buffer_alloc.h"

namespace {
std::map<unsigned char *, std::size_t> blocks;
std::size_t attempts = 0;
std::size_t first_failure = 0;
std::size_t unwiped = 0;
std::size_t stray = 0;
std::vector<std::size_t> requested;
}  // namespace

namespace fake_alloc {

void reset(std::size_t fail_at) {
  for (auto &block : blocks) std::free(block.first);
  blocks.clear();
  attempts = 0;
  first_failure = fail_at;
  unwiped = 0;
  stray = 0;
  requested.clear();
}

std::size_t live_blocks() { return blocks.size(); }
std::size_t unwiped_releases() { return unwiped; }
std::size_t stray_prefaults() { return stray; }
const std::vector<std::size_t> &sizes() { return requested; }

std::size_t live_blocks_holding(const std::vector<unsigned char> &bytes) {
  std::size_t holding = 0;
  for (const auto &block : blocks) {
    const unsigned char *start = block.first;
    const unsigned char *end = start + block.second;
    if (std::search(start, end, bytes.begin(), bytes.end()) != end) ++holding;
  }
  return holding;
}

}  // namespace fake_alloc

unsigned char *buffer_alloc(std::size_t size) {
  ++attempts;
  requested.push_back(size);
  if (first_failure != 0 && attempts >= first_failure) return nullptr;
  auto *block = static_cast<unsigned char *>(std::calloc(size, 1));
  if (block == nullptr) return nullptr;
  blocks[block] = size;
  return block;
}

// Changes nothing; a range beyond its block would map memory that the peak budget does not allow.
void buffer_prefault(unsigned char *block, std::size_t length) {
  const auto found = blocks.find(block);
  if (found == blocks.end() || length > found->second) ++stray;
}

void buffer_release(unsigned char *block) {
  if (block == nullptr) return;
  const auto found = blocks.find(block);
  if (found == blocks.end()) std::abort();  // not ours, or released twice
  for (std::size_t i = 0; i < found->second; ++i) {
    if (block[i] != 0) {
      ++unwiped;
      break;
    }
  }
  blocks.erase(found);
  std::free(block);
}
