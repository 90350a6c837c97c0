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

int16_t Resampler::toInt16(float sample) {
  if (std::isnan(sample))
    return 0;
  float scaled = std::nearbyint(sample * 32768.0f);
  if (scaled >= 32767.0f)
    return 32767;
  if (scaled <= -32768.0f)
    return -32768;
  return static_cast<int16_t>(scaled);
}

} // namespace va
