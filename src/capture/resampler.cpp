#include "capture/resampler.h"

#include <cmath>
#include <soxr.h>

namespace va {

std::unique_ptr<Resampler> Resampler::make(double rateHz) {
  if (!std::isfinite(rateHz) || rateHz < kMinRateHz || rateHz > kMaxRateHz)
    return nullptr;
  soxr_error_t error = nullptr;
  soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
  soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
  soxr_t handle = soxr_create(rateHz, kTargetRateHz, 1, &error, &io, &quality, nullptr);
  if (error || !handle) {
    if (handle)
      soxr_delete(handle);
    return nullptr;
  }
  return std::unique_ptr<Resampler>(new Resampler(rateHz, handle));
}

Resampler::Resampler(double rateHz, soxr* handle) : rateHz_(rateHz), handle_(handle) {}

Resampler::~Resampler() {
  soxr_delete(handle_);
}

std::expected<void, std::string> Resampler::step(const float* input, size_t inputCount,
                                                 size_t* used, float* out, size_t outCapacity,
                                                 size_t* produced) {
  soxr_error_t error = soxr_process(handle_, input, input ? inputCount : 0, input ? used : nullptr,
                                    out, outCapacity, produced);
  if (!input)
    *used = 0;
  if (error)
    return std::unexpected(std::string(error));
  return {};
}

void OutputClock::restart(double sourceRateHz) {
  sourceRateHz_ = sourceRateHz;
  input_ = 0;
  anchors_.clear();
}

void OutputClock::input(size_t samples, uint64_t hostNs) {
  anchors_.push_back({input_, hostNs});
  input_ += static_cast<int64_t>(samples);
}

uint64_t OutputClock::timeOf(int64_t frame) {
  // Where in the input the frame lies, in input samples.
  double at = static_cast<double>(frame) * sourceRateHz_ / Resampler::kTargetRateHz;
  while (anchors_.size() > 1 && static_cast<double>(anchors_[1].input) <= at)
    anchors_.pop_front();
  if (anchors_.empty())
    return 0;
  const Anchor& block = anchors_.front();
  auto ns = static_cast<int64_t>(block.hostNs) +
            std::llround((at - static_cast<double>(block.input)) / sourceRateHz_ * 1e9);
  return ns > 0 ? static_cast<uint64_t>(ns) : 0;
}

} // namespace va
