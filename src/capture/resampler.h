#pragma once

#include <cstdint>
#include <deque>
#include <expected>
#include <memory>
#include <span>
#include <string>
#include <vector>

struct soxr; // the converter's own handle type (soxr_t)

namespace va {

// A streaming converter from mono float samples at one source rate to 16 kHz mono 16-bit.
// It keeps its filter state between calls, so consecutive blocks of one stream join without a
// click, and holds back a short tail that convert({}, true) releases. Not thread-safe; one owner.
class Resampler {
public:
  static constexpr double kTargetRateHz = 16000.0;
  // Rates outside this range are refused: no device runs there, and extreme ratios would make
  // the converter's output (or its set-up) unbounded.
  static constexpr double kMinRateHz = 1000.0;
  static constexpr double kMaxRateHz = 1536000.0;

  // Nothing when no converter can be made for `rateHz`.
  static std::unique_ptr<Resampler> make(double rateHz);
  ~Resampler();
  Resampler(const Resampler&) = delete;
  Resampler& operator=(const Resampler&) = delete;

  // Converts `input` and passes the output to `emit` in chunks (possibly none); an empty
  // `input` with `endOfStream` releases the held-back tail. Returns the converter's error.
  template <class Emit>
  std::expected<void, std::string> convert(std::span<const float> input, bool endOfStream,
                                           Emit&& emit);

  double rateHz() const { return rateHz_; }

  // Float to 16-bit: scaled by 32768, rounded to nearest (ties to even), clipped; NaN becomes 0.
  // Branch-free and without a library call, so that a loop of it vectorises.
  static int16_t toInt16(float sample) {
    float scaled = sample * 32768.0f;
    scaled = scaled == scaled ? scaled : 0.0f; // NaN
    scaled = scaled < -32768.0f ? -32768.0f : scaled;
    scaled = scaled > 32767.0f ? 32767.0f : scaled;
    // Adding and taking away 1.5 * 2^23 rounds any |x| < 2^22 to an integer in the current (to
    // nearest) rounding mode.
    constexpr float kRound = 12582912.0f;
    return static_cast<int16_t>(static_cast<int32_t>((scaled + kRound) - kRound));
  }

private:
  Resampler(double rateHz, soxr* handle);
  // One step of the converter: consumes up to `inputCount` samples (none and the end of input
  // when `input` is null), fills up to `outCapacity`.
  std::expected<void, std::string> step(const float* input, size_t inputCount, size_t* used,
                                        float* out, size_t outCapacity, size_t* produced);

  const double rateHz_;
  soxr* const handle_;
  std::vector<float> floatOut_;
  std::vector<int16_t> intOut_;
};

// Dates a converter's output on the host clock. The converter is time-aligned: its output frame
// j is its input at j / 16000 s; each input block's first sample and host time anchor that to
// the host clock, so a frame gets the time of the block it came from, however long the converter
// held it back. Not thread-safe; one owner.
class OutputClock {
public:
  // A new converter from `sourceRateHz`.
  void restart(double sourceRateHz);
  // A block of `samples` starting at `hostNs` is about to be given to the converter.
  void input(size_t samples, uint64_t hostNs);
  // Host time of output frame `frame`, counted from the converter's start.
  uint64_t timeOf(int64_t frame);

private:
  struct Anchor {
    int64_t input; // samples given to the converter before the block
    uint64_t hostNs;
  };
  std::deque<Anchor> anchors_; // oldest first; blocks whose audio may still be held back
  int64_t input_ = 0;          // samples given to the current converter
  double sourceRateHz_ = 0;
};

template <class Emit>
std::expected<void, std::string> Resampler::convert(std::span<const float> input, bool endOfStream,
                                                    Emit&& emit) {
  // Room for the whole block's output plus the converter's latency, as one chunk in the common
  // case.
  size_t capacity =
      static_cast<size_t>(static_cast<double>(input.size()) * kTargetRateHz / rateHz_) + 1024;
  floatOut_.resize(capacity);
  intOut_.resize(capacity);
  size_t offset = 0;
  for (;;) {
    size_t used = 0, produced = 0;
    bool flushing = input.empty() && endOfStream;
    auto r = step(flushing ? nullptr : input.data() + offset, input.size() - offset, &used,
                  floatOut_.data(), capacity, &produced);
    offset += used;
    for (size_t i = 0; i < produced; ++i)
      intOut_[i] = toInt16(floatOut_[i]);
    if (produced > 0)
      emit(std::span<const int16_t>(intOut_.data(), produced));
    if (!r)
      return r;
    if (flushing) { // the tail may come in several pieces; it ends with an empty one
      if (produced == 0)
        return {};
      continue;
    }
    // Go on while input is left or the output filled up (more may be waiting).
    if ((offset >= input.size() && produced < capacity) || (used == 0 && produced == 0))
      return {};
  }
}

} // namespace va
