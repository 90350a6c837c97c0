#include "capture/echo_canceller.h"

#include "capture/resampler.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace va {

namespace {

constexpr int64_t kNsPerFrame = 62'500; // at 16 kHz
constexpr int64_t kJitterFrames = 8;    // time stamps this close join up
constexpr size_t kMaxLag = EchoDelayEstimator::kMaxLagMs * 16 / EchoDelayEstimator::kDecimation;
constexpr float kPreEmphasis = 0.9f;        // whitens speech a little, sharpening the peak
constexpr double kDecay = 0.9;              // of the correlation, per block with reference
constexpr double kMinReferencePower = 1e-8; // mean square at 4 kHz: -80 dBFS is no sound
constexpr double kPeakToRms = 6;
static_assert(EchoDelayEstimator::kBlockSamples % 8 == 0,
              "correlated eight samples at a time"); // a clear peak over the other lags

int64_t indexOf(uint64_t ns) {
  return static_cast<int64_t>((ns + kNsPerFrame / 2) / kNsPerFrame);
}

} // namespace

EchoDelayEstimator::EchoDelayEstimator()
    : reference_(kMaxLag, 0.0f), correlation_(kMaxLag + 1, 0.0) {
  reference_.reserve(kMaxLag + kBlockSamples);
  mic_.reserve(kBlockSamples);
}

void EchoDelayEstimator::add(std::span<const float> mic, std::span<const float> reference) {
  const size_t n = std::min(mic.size(), reference.size());
  for (size_t i = 0; i < n; ++i) {
    sums_[0] += mic[i];
    sums_[1] += reference[i];
    if (++phase_ < kDecimation)
      continue;
    phase_ = 0;
    const float m = sums_[0] / kDecimation, r = sums_[1] / kDecimation;
    sums_[0] = sums_[1] = 0;
    mic_.push_back(m - kPreEmphasis * previous_[0]);
    reference_.push_back(r - kPreEmphasis * previous_[1]);
    previous_[0] = m;
    previous_[1] = r;
    if (mic_.size() == kBlockSamples)
      correlateBlock();
  }
}

void EchoDelayEstimator::correlateBlock() {
  double micPower = 0, referencePower = 0;
  for (float v : mic_)
    micPower += static_cast<double>(v) * v;
  for (float v : reference_)
    referencePower += static_cast<double>(v) * v;
  referencePower /= static_cast<double>(reference_.size());
  micPower /= static_cast<double>(mic_.size());
  if (referencePower > kMinReferencePower && micPower > 0) {
    const double scale =
        1.0 / (std::sqrt(micPower * referencePower) * static_cast<double>(kBlockSamples));
    for (size_t lag = 0; lag <= kMaxLag; ++lag) {
      // Eight partial sums: the compiler may keep them in one vector register.
      float partial[8] = {};
      const float* r = reference_.data() + kMaxLag - lag;
      for (size_t i = 0; i < kBlockSamples; i += 8)
        for (size_t k = 0; k < 8; ++k)
          partial[k] += mic_[i + k] * r[i + k];
      double sum = 0;
      for (float p : partial)
        sum += p;
      correlation_[lag] = kDecay * correlation_[lag] + sum * scale;
    }
    any_ = true;
  }
  seen_ = std::min(seen_ + kBlockSamples, kMaxLag + kBlockSamples);
  if (any_) {
    // Only lags that the history reaches: zeros before the first sample would flatter a peak.
    const size_t lags = std::min(kMaxLag + 1, seen_ - kBlockSamples / 2);
    size_t peak = 0;
    double squares = 0;
    for (size_t lag = 0; lag < lags; ++lag) {
      squares += correlation_[lag] * correlation_[lag];
      if (std::abs(correlation_[lag]) > std::abs(correlation_[peak]))
        peak = lag;
    }
    const double rms = std::sqrt(squares / static_cast<double>(lags));
    // A new delay counts once two blocks in a row agree on it within 4 ms.
    const double found = static_cast<double>(peak) * kDecimation / 16.0;
    if (rms > 0 && std::abs(correlation_[peak]) > kPeakToRms * rms) {
      if (candidateMs_ && std::abs(found - *candidateMs_) <= 4)
        delayMs_ = found;
      candidateMs_ = found;
    }
  }
  reference_.erase(reference_.begin(), reference_.begin() + static_cast<ptrdiff_t>(kBlockSamples));
  mic_.clear();
}

EchoCanceller::EchoCanceller(std::unique_ptr<EchoEngine> engine) : engine_(std::move(engine)) {
  // The engine's first output frames come before any input: padding, never emitted.
  if (engine_->latencyFrames() > 0)
    runs_.push_back({engine_->latencyFrames(), std::nullopt});
  out_.resize(EchoEngine::kFrameSamples);
}

void EchoCanceller::estimate() {
  if (!micRun_ || !referenceStart_)
    return;
  const int64_t micEnd = micIndex_ + static_cast<int64_t>(mic_.size());
  const int64_t referenceEnd = *referenceStart_ + static_cast<int64_t>(reference_.size());
  // Frames that went out before their reference came are skipped.
  estimatedTo_ = std::max(estimatedTo_, micIndex_);
  constexpr auto kFrame = static_cast<int64_t>(EchoEngine::kFrameSamples);
  float sameTime[EchoEngine::kFrameSamples];
  while (estimatedTo_ + kFrame <= std::min(micEnd, referenceEnd)) {
    for (int64_t i = 0; i < kFrame; ++i)
      sameTime[i] = referenceAt(estimatedTo_ + i);
    estimator_.add(std::span(mic_).subspan(static_cast<size_t>(estimatedTo_ - micIndex_),
                                           EchoEngine::kFrameSamples),
                   sameTime);
    estimatedTo_ += kFrame;
  }
}

void EchoCanceller::reference(std::span<const int16_t> frames, uint64_t firstNs) {
  if (frames.empty())
    return;
  int64_t index = indexOf(firstNs);
  if (!referenceStart_)
    referenceStart_ = index;
  const int64_t end = *referenceStart_ + static_cast<int64_t>(reference_.size());
  if (std::llabs(index - end) <= kJitterFrames)
    index = end;
  size_t skip = 0;
  if (index > end + kKeptReferenceFrames || index + kKeptReferenceFrames < end) {
    reference_.clear(); // a jump of the clock: start again
    referenceStart_ = index;
  } else if (index > end) {
    reference_.insert(reference_.end(), static_cast<size_t>(index - end), 0.0f);
  } else if (index < end) {
    skip = std::min(frames.size(), static_cast<size_t>(end - index)); // already have those
  }
  for (size_t i = skip; i < frames.size(); ++i)
    reference_.push_back(static_cast<float>(frames[i]) / 32768.0f);
  while (static_cast<int64_t>(reference_.size()) > kKeptReferenceFrames) {
    reference_.pop_front();
    ++*referenceStart_;
  }
  estimate();
}

float EchoCanceller::referenceAt(int64_t index) const {
  if (!referenceStart_ || index < *referenceStart_)
    return 0.0f;
  const auto offset = static_cast<size_t>(index - *referenceStart_);
  return offset < reference_.size() ? reference_[offset] : 0.0f;
}

uint64_t EchoCanceller::timeOf(int64_t index) const {
  return micBaseNs_ + static_cast<uint64_t>((index - micBaseIndex_) * kNsPerFrame);
}

void EchoCanceller::microphone(std::span<const int16_t> frames, uint64_t firstNs,
                               const Emit& emit) {
  if (frames.empty())
    return;
  const int64_t index = indexOf(firstNs);
  if (micRun_ &&
      std::llabs(index - (micIndex_ + static_cast<int64_t>(mic_.size()))) > kJitterFrames)
    flush(emit); // a hole or a jump: what came before goes out as it is
  if (!micRun_) {
    micRun_ = true;
    micIndex_ = micBaseIndex_ = estimatedTo_ = index;
    micBaseNs_ = firstNs;
  }
  for (int16_t v : frames)
    mic_.push_back(static_cast<float>(v) / 32768.0f);
  lastMicNs_ = firstNs;
  estimate();
  process(emit, false);
}

void EchoCanceller::process(const Emit& emit, bool draining) {
  constexpr auto kFrame = static_cast<int64_t>(EchoEngine::kFrameSamples);
  size_t done = 0;
  float padded[EchoEngine::kFrameSamples];
  while (done < mic_.size()) {
    const size_t left = mic_.size() - done;
    if (left < EchoEngine::kFrameSamples && !draining)
      break;
    const int64_t index = micIndex_;
    // The estimator takes the reference at the microphone's own time, before the frame goes:
    // wait for that, not only for the older reference that the engine takes.
    const int64_t needEnd = index + kFrame;
    const int64_t referenceEnd =
        referenceStart_ ? *referenceStart_ + static_cast<int64_t>(reference_.size()) : INT64_MIN;
    const int64_t micEnd = index + static_cast<int64_t>(left);
    // Until the echo path is known, frames wait for it too: a start that finds it within
    // kMaxWaitFrames is cancelled from its first frame.
    if (!draining && (referenceEnd < needEnd || !estimator_.delayMs()) &&
        micEnd - needEnd < kMaxWaitFrames)
      break;
    const size_t real = std::min(left, EchoEngine::kFrameSamples);
    std::fill(std::begin(padded), std::end(padded), 0.0f);
    std::copy_n(mic_.begin() + static_cast<ptrdiff_t>(done), real, padded);
    processFrame(emit, padded, real, timeOf(index), index);
    done += real;
    micIndex_ += static_cast<int64_t>(real);
  }
  mic_.erase(mic_.begin(), mic_.begin() + static_cast<ptrdiff_t>(done));
}

void EchoCanceller::processFrame(const Emit& emit, std::span<const float> mic, size_t realFrames,
                                 std::optional<uint64_t> firstNs, int64_t index) {
  float aligned[EchoEngine::kFrameSamples];
  for (size_t i = 0; i < EchoEngine::kFrameSamples; ++i)
    aligned[i] = referenceAt(index + static_cast<int64_t>(i) - alignFrames_);
  engine_->process(mic, aligned, out_);
  runs_.push_back({realFrames, firstNs});
  if (realFrames < EchoEngine::kFrameSamples)
    runs_.push_back({EchoEngine::kFrameSamples - realFrames, std::nullopt});
  emitOutput(emit);
  if (std::optional<double> delay = estimator_.delayMs()) {
    // The echo's direct path should lie kMarginFrames into the filter; it is moved only when it
    // leaves [kMarginFrames / 4, 3 * kMarginFrames], as every move makes the filter adapt anew.
    const int64_t into = std::llround(*delay * 16) - alignFrames_;
    if (into < kMarginFrames / 4 || into > 3 * kMarginFrames)
      alignFrames_ = std::max<int64_t>(0, std::llround(*delay * 16) - kMarginFrames);
  }
}

void EchoCanceller::emitOutput(const Emit& emit) {
  size_t at = 0;
  while (at < out_.size() && !runs_.empty()) {
    Run& run = runs_.front();
    const size_t take = std::min(run.frames, out_.size() - at);
    if (run.firstNs) {
      emitted_.resize(take);
      for (size_t i = 0; i < take; ++i)
        emitted_[i] = Resampler::toInt16(out_[at + i]);
      emit(emitted_, *run.firstNs);
      *run.firstNs += static_cast<uint64_t>(take) * kNsPerFrame;
    }
    run.frames -= take;
    at += take;
    if (run.frames == 0)
      runs_.pop_front();
  }
}

void EchoCanceller::flush(const Emit& emit) {
  process(emit, true);
  // Push the engine's held frames out with silence on both sides.
  const float silence[EchoEngine::kFrameSamples] = {};
  while (
      std::any_of(runs_.begin(), runs_.end(), [](const Run& r) { return r.firstNs.has_value(); })) {
    engine_->process(silence, silence, out_);
    runs_.push_back({EchoEngine::kFrameSamples, std::nullopt});
    emitOutput(emit);
  }
  micRun_ = false;
}

std::optional<double> EchoCanceller::takeDelayReport() {
  std::optional<double> delay = estimator_.delayMs();
  if (!delay || (reportedMs_ && std::abs(*delay - *reportedMs_) <= kReportMoveMs) ||
      (reportedAtNs_ && lastMicNs_ < *reportedAtNs_ + kReportIntervalNs))
    return std::nullopt;
  reportedMs_ = delay;
  reportedAtNs_ = lastMicNs_;
  return delay;
}

} // namespace va
