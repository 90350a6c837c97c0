#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace va {

// The adaptive filtering of one echo canceller: 10 ms frames of 16 kHz mono float in [-1, 1]
// ([0] is the microphone, the reference aligned with it) to cancelled frames. Its output lags
// its input by latencyFrames(). Not thread-safe; one owner.
class EchoEngine {
public:
  static constexpr size_t kFrameSamples = 160; // 10 ms at 16 kHz

  virtual ~EchoEngine() = default;
  virtual void process(std::span<const float> mic, std::span<const float> reference,
                       std::span<float> out) = 0;
  virtual size_t latencyFrames() const = 0;
};

// The libraries' canceller: a linear filter over 128 ms after the aligned reference, then a
// residual-echo suppressor. Nothing when a library cannot be set up.
std::unique_ptr<EchoEngine> makeLibraryEchoEngine();

// How far the echo in a microphone lags its reference, from their cross-correlation at 4 kHz
// (pre-emphasised) over the last seconds in which the reference carried sound; lags of 0 to
// kMaxLagMs. Pure; one owner.
class EchoDelayEstimator {
public:
  static constexpr int kDecimation = 4;        // 16 kHz to 4 kHz
  static constexpr int kMaxLagMs = 700;        // a wireless speaker's latency and then some
  static constexpr size_t kBlockSamples = 512; // 128 ms at 4 kHz: one correlation per block

  EchoDelayEstimator();
  // 16 kHz samples of the microphone and of the reference at the same times.
  void add(std::span<const float> mic, std::span<const float> reference);
  // The lag of the correlation's clear peak, in ms; nothing until there is one.
  std::optional<double> delayMs() const { return delayMs_; }

private:
  void correlateBlock();

  std::vector<float> reference_; // 4 kHz, pre-emphasised: kMaxLag samples before the block, then it
  std::vector<float> mic_;       // 4 kHz, pre-emphasised: the current block
  std::vector<double> correlation_; // by lag, decaying over blocks
  float sums_[2] = {0, 0};          // the decimator's partial sums (mic, reference)
  float previous_[2] = {0, 0};      // the pre-emphasis filters' last inputs
  int phase_ = 0;
  bool any_ = false;
  size_t seen_ = 0;                   // 4 kHz samples of history, up to a full window
  std::optional<double> candidateMs_; // the last block's peak
  std::optional<double> delayMs_;
};

// Removes from a microphone's 16 kHz frames the echo of what the speakers played (the
// reference). Both come with the host time of their first frame; the reference is placed by
// those times, then shifted by the echo path's delay as estimated from the signals themselves,
// so the engine sees the echo where its filter can reach it. Microphone frames wait (at most
// kMaxWaitFrames) for the reference they need; missing reference counts as silence. Every
// microphone frame comes out once, with its own time, in order. Pure and clock-free: the time
// is the frames'. Not thread-safe; one owner.
class EchoCanceller {
public:
  using Emit = std::function<void(std::span<const int16_t> frames, uint64_t firstNs)>;

  static constexpr int64_t kMaxWaitFrames = 8000; // 500 ms of microphone ahead of the reference
  static constexpr int64_t kMarginFrames = 320;   // the echo lands 20 ms into the filter
  // 12 s: the microphone may reach the canceller that late, after a disk that blocked its sink.
  static constexpr int64_t kKeptReferenceFrames = 192000;
  static constexpr double kReportMoveMs = 20;
  static constexpr uint64_t kReportIntervalNs = 5'000'000'000;

  explicit EchoCanceller(std::unique_ptr<EchoEngine> engine);

  void reference(std::span<const int16_t> frames, uint64_t firstNs);
  // Cancels what it can of the frames so far and emits it.
  void microphone(std::span<const int16_t> frames, uint64_t firstNs, const Emit& emit);
  // Emits every frame held; the next microphone frames start a new run.
  void flush(const Emit& emit);
  // The echo path's delay in ms when it should be told now: when first found, then when it
  // moved by more than kReportMoveMs, at most once per kReportIntervalNs of microphone time.
  std::optional<double> takeDelayReport();

private:
  struct Run { // output frames still inside the engine: real ones are emitted, padding is not
    size_t frames;
    std::optional<uint64_t> firstNs;
  };
  // Gives the estimator the frames whose microphone and reference have both come.
  void estimate();
  void process(const Emit& emit, bool draining);
  void processFrame(const Emit& emit, std::span<const float> mic, size_t realFrames,
                    std::optional<uint64_t> firstNs, int64_t index);
  float referenceAt(int64_t index) const;
  uint64_t timeOf(int64_t index) const;
  void emitOutput(const Emit& emit);

  const std::unique_ptr<EchoEngine> engine_;
  EchoDelayEstimator estimator_;
  // Reference at 16 kHz frame indices (host ns * 16000 / 1e9), oldest first.
  std::deque<float> reference_;
  std::optional<int64_t> referenceStart_; // index of reference_.front()
  // Microphone frames not processed yet; the first at index micIndex_, time micNs_.
  std::vector<float> mic_;
  int64_t micIndex_ = 0;
  uint64_t micBaseNs_ = 0; // time of frame micBaseIndex_ of the current run
  int64_t micBaseIndex_ = 0;
  int64_t estimatedTo_ = 0; // frames before this index went to the estimator
  bool micRun_ = false;
  std::deque<Run> runs_;
  std::vector<float> out_;
  std::vector<int16_t> emitted_;
  int64_t alignFrames_ = 0;
  std::optional<double> reportedMs_;
  std::optional<uint64_t> reportedAtNs_;
  uint64_t lastMicNs_ = 0;
};

} // namespace va
