#include "platform/block_ring.h"

#include <algorithm>

namespace va {

BlockRing::BlockRing(size_t samples, size_t blocks)
    : samples_(std::max<size_t>(samples, 1)), entries_(std::max<size_t>(blocks, 1)) {}

bool BlockRing::push(const Header& header, std::span<const float* const> channels,
                     std::span<const uint32_t> available) {
  const uint64_t count = uint64_t{header.frames} * header.channels;
  const uint64_t head = blockHead_.load(std::memory_order_relaxed);
  const bool roomForBlock = head - blockTail_.load(std::memory_order_acquire) < entries_.size();
  const bool roomForSamples =
      sampleHead_ + count - sampleTail_.load(std::memory_order_acquire) <= samples_.size();
  if (!roomForBlock || !roomForSamples || channels.size() < header.channels) {
    dropped_.fetch_add(1, std::memory_order_relaxed);
    return false;
  }
  const size_t capacity = samples_.size();
  uint64_t at = sampleHead_;
  for (uint32_t c = 0; c < header.channels; ++c) {
    uint32_t have = channels[c] && c < available.size() ? std::min(available[c], header.frames) : 0;
    for (uint32_t f = 0; f < header.frames; ++f, ++at)
      samples_[at % capacity] = f < have ? channels[c][f] : 0.0f;
  }
  entries_[head % entries_.size()] = Entry{header, sampleHead_, count};
  sampleHead_ = at;
  blockHead_.store(head + 1, std::memory_order_release);
  return true;
}

void BlockRing::copyOut(const Entry& entry) {
  scratch_.resize(entry.count);
  const size_t capacity = samples_.size();
  const size_t start = entry.offset % capacity;
  const size_t first = std::min<size_t>(entry.count, capacity - start);
  std::copy_n(samples_.begin() + static_cast<ptrdiff_t>(start), first, scratch_.begin());
  std::copy_n(samples_.begin(), entry.count - first,
              scratch_.begin() + static_cast<ptrdiff_t>(first));
}

} // namespace va
