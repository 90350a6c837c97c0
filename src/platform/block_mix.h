#pragma once

// Pure helpers of the device input paths: channel mixing of delivered buffers and the
// once-per-start measurement of the rate at which a tap really delivers.

#include "core/json.h"

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace va {

// One buffer of a delivered buffer list: `samples` 32-bit floats, `channels` interleaved.
struct SampleBuffer {
  const float* data = nullptr;
  size_t samples = 0;
  uint32_t channels = 0;
};

// Microphone input: the plain average of every channel of every buffer; the frame count comes
// from the first buffer. Nothing when the first buffer has no whole frame.
std::optional<std::vector<float>> mixInput(std::span<const SampleBuffer> buffers);

// Tap input. Interleaved: the first buffer only, its `channels` averaged per frame; nothing
// when it has no data or no whole frame. Non-interleaved: one channel per buffer, the buffers
// averaged sample by sample over the first buffer's length (which may be 0: an empty block).
std::optional<std::vector<float>> mixTap(std::span<const SampleBuffer> buffers, bool interleaved,
                                         uint32_t channels);

// The rate a started tap delivers at, reported once: the frames of the blocks from the first
// up to the first one at least 5 s later, over the time between those two.
class DeliveredRate {
public:
  // Returns the "delivered_rate" format report when this block completes the measurement.
  std::optional<Json> observe(uint64_t timeNs, size_t frames, double rateUsed);

private:
  uint64_t startNs_ = 0;
  bool started_ = false;
  bool reported_ = false;
  uint64_t frames_ = 0;
};

} // namespace va
