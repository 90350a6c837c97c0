#pragma once

// Hands blocks of planar float samples from the audio server's data thread (the one producer)
// to the loop thread (the one consumer). The producer never locks, allocates or waits: a block
// that does not fit is dropped and counted.

#include <atomic>
#include <cstdint>
#include <span>
#include <vector>

namespace va {

class BlockRing {
public:
  struct Header {
    uint64_t timeNs = 0;   // CLOCK_MONOTONIC of the first frame, as the cycle reported it
    uint64_t position = 0; // the driver's frame position of the first frame
    double rateHz = 0;
    uint32_t frames = 0;
    uint32_t channels = 0;
    bool heard = true; // some channel carried data from a peer; else silence stands in
  };

  // Room for `samples` floats (all channels together) in at most `blocks` blocks.
  BlockRing(size_t samples, size_t blocks);

  // Producer. Channel c takes min(available[c], frames) samples from channels[c] and silence
  // after them; a null channel is all silence. False when the block does not fit.
  bool push(const Header& header, std::span<const float* const> channels,
            std::span<const uint32_t> available);

  // Consumer: calls `take(header, planar)` for each waiting block, oldest first; channel c is
  // planar[c * frames, (c + 1) * frames). Returns how many blocks were taken.
  template <class Take> size_t drain(Take&& take) {
    size_t taken = 0;
    for (;;) {
      uint64_t tail = blockTail_.load(std::memory_order_relaxed);
      if (tail == blockHead_.load(std::memory_order_acquire))
        return taken;
      const Entry& entry = entries_[tail % entries_.size()];
      copyOut(entry);
      take(entry.header, std::span<const float>(scratch_));
      sampleTail_.store(entry.offset + entry.count, std::memory_order_release);
      blockTail_.store(tail + 1, std::memory_order_release);
      ++taken;
    }
  }

  // Blocks dropped since the last call (any thread).
  uint64_t takeDropped() { return dropped_.exchange(0, std::memory_order_relaxed); }

private:
  struct Entry {
    Header header;
    uint64_t offset = 0; // of the first sample, counted since construction
    uint64_t count = 0;  // samples
  };
  void copyOut(const Entry& entry);

  std::vector<float> samples_;
  std::vector<Entry> entries_;
  std::vector<float> scratch_; // consumer only
  uint64_t sampleHead_ = 0;    // producer only
  std::atomic<uint64_t> sampleTail_{0};
  std::atomic<uint64_t> blockHead_{0};
  std::atomic<uint64_t> blockTail_{0};
  std::atomic<uint64_t> dropped_{0};
};

} // namespace va
