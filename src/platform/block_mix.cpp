#include "platform/block_mix.h"

#include <cmath>

namespace va {

std::optional<std::vector<float>> mixInput(std::span<const SampleBuffer> buffers) {
  if (buffers.empty() || buffers[0].channels == 0 || buffers[0].samples < buffers[0].channels)
    return std::nullopt;
  std::vector<float> block(buffers[0].samples / buffers[0].channels, 0.0f);
  uint64_t totalChannels = 0;
  for (const SampleBuffer& buffer : buffers) {
    if (buffer.channels == 0 || !buffer.data)
      continue;
    size_t frames = std::min(buffer.samples / buffer.channels, block.size());
    for (size_t f = 0; f < frames; ++f)
      for (uint32_t c = 0; c < buffer.channels; ++c)
        block[f] += buffer.data[f * buffer.channels + c];
    totalChannels += buffer.channels;
  }
  if (totalChannels > 1) {
    float scale = 1.0f / static_cast<float>(totalChannels);
    for (float& sample : block)
      sample *= scale;
  }
  return block;
}

std::optional<std::vector<float>> mixTap(std::span<const SampleBuffer> buffers, bool interleaved,
                                         uint32_t channels) {
  if (buffers.empty())
    return std::nullopt;
  if (interleaved) {
    const SampleBuffer& first = buffers[0];
    channels = std::max(channels, 1u);
    size_t frames = first.samples / channels;
    if (!first.data || frames < 1)
      return std::nullopt;
    std::vector<float> block(frames);
    float scale = 1.0f / static_cast<float>(channels);
    for (size_t f = 0; f < frames; ++f) {
      float sum = 0;
      for (uint32_t c = 0; c < channels; ++c)
        sum += first.data[f * channels + c];
      block[f] = scale * sum;
    }
    return block;
  }
  std::vector<float> block(buffers[0].samples, 0.0f);
  for (const SampleBuffer& buffer : buffers) {
    if (!buffer.data)
      continue;
    size_t n = std::min(block.size(), buffer.samples);
    for (size_t i = 0; i < n; ++i)
      block[i] += buffer.data[i];
  }
  if (buffers.size() > 1) {
    float scale = 1.0f / static_cast<float>(buffers.size());
    for (float& sample : block)
      sample *= scale;
  }
  return block;
}

std::optional<Json> DeliveredRate::observe(uint64_t timeNs, size_t frames, double rateUsed) {
  if (!started_) {
    // The measured span runs from this block's start to the reporting block's: this block is in
    // it, the reporting one is not.
    started_ = true;
    startNs_ = timeNs;
    frames_ = frames;
    return std::nullopt;
  }
  if (reported_)
    return std::nullopt;
  std::optional<Json> report;
  // A block dated before the start only counts; it never ends the measurement.
  double elapsed = timeNs > startNs_ ? static_cast<double>(timeNs - startNs_) / 1e9 : 0.0;
  if (elapsed >= 5.0) {
    reported_ = true;
    double measured = static_cast<double>(frames_) / elapsed;
    Json deviation = nullptr; // no finite deviation from a rate of 0
    if (rateUsed > 0)
      deviation = std::round((measured / rateUsed - 1) * 1000) / 10;
    report = Json{{"reason", "delivered_rate"},
                  {"clock", "tap"},
                  {"rateUsed", rateUsed},
                  {"deliveredRate", std::round(measured * 10) / 10},
                  {"deviationPct", deviation}};
  }
  frames_ += frames;
  return report;
}

} // namespace va
