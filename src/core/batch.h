#pragma once

#include <span>
#include <utility>
#include <vector>

namespace va {

// Blocks of samples bound for a serial queue, handed over in batches: one queue task (and one
// wake-up of its thread) takes everything that gathered before it ran, instead of one task per
// block. The samples lie in one buffer that the taker swaps with its own emptied one, so nothing
// is allocated once both have grown, and no block is freed on another thread than its own.
// Not thread-safe: the owner calls add() (from any thread) and take() (from the queue's task)
// under one lock of its own.
template <class Info> class BlockBatch {
public:
  struct Taken {
    std::vector<float> samples;                  // every block's, in order
    std::vector<std::pair<size_t, Info>> blocks; // each block's sample count and its info

    // Calls `each(samples, info)` for every block, oldest first; returns the samples in all.
    template <class Each> size_t forEach(Each&& each) const {
      size_t at = 0;
      for (const auto& [count, info] : blocks) {
        each(std::span<const float>(samples).subspan(at, count), info);
        at += count;
      }
      return at;
    }
  };

  // True when this block starts a batch: the caller posts the task that will take it.
  bool add(std::span<const float> samples, Info info) {
    gathered_.samples.insert(gathered_.samples.end(), samples.begin(), samples.end());
    gathered_.blocks.emplace_back(samples.size(), std::move(info));
    return !std::exchange(posted_, true);
  }
  // Everything gathered goes to `into`, which must be empty (it keeps its room for next time).
  // The next add() starts a new batch.
  void take(Taken& into) {
    std::swap(into, gathered_);
    posted_ = false;
  }

private:
  Taken gathered_;
  bool posted_ = false;
};

} // namespace va
