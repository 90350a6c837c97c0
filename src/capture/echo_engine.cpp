#include "capture/echo_canceller.h"
#include "capture/resampler.h"

#include <speex/speex_echo.h>
#include <webrtc/modules/audio_processing/include/audio_processing.h>

namespace va {

namespace {

// The linear filter runs first: it keeps the near end whole while both talk. The second
// canceller adapts on what is left and suppresses the residue; at its lowest suppression it
// takes the least of the near end.
class LibraryEchoEngine final : public EchoEngine {
public:
  static constexpr int kFilterFrames = 2048; // 128 ms after the aligned reference
  // The second canceller's output lags its input by this many frames at 16 kHz (its band split
  // and block buffering).
  static constexpr size_t kLatencyFrames = 112;

  static std::unique_ptr<EchoEngine> make() {
    SpeexEchoState* linear = speex_echo_state_init(kFrameSamples, kFilterFrames);
    if (!linear)
      return nullptr;
    int rate = 16000;
    speex_echo_ctl(linear, SPEEX_ECHO_SET_SAMPLING_RATE, &rate);
    webrtc::Config config;
    config.Set<webrtc::ExtendedFilter>(new webrtc::ExtendedFilter(true));
    config.Set<webrtc::DelayAgnostic>(new webrtc::DelayAgnostic(false));
    std::unique_ptr<webrtc::AudioProcessing> apm(webrtc::AudioProcessing::Create(config));
    if (!apm || apm->high_pass_filter()->Enable(false) != 0 ||
        apm->echo_cancellation()->Enable(true) != 0 ||
        apm->echo_cancellation()->set_suppression_level(
            webrtc::EchoCancellation::kLowSuppression) != 0) {
      speex_echo_state_destroy(linear);
      return nullptr;
    }
    return std::unique_ptr<EchoEngine>(new LibraryEchoEngine(linear, std::move(apm)));
  }

  ~LibraryEchoEngine() override { speex_echo_state_destroy(linear_); }

  void process(std::span<const float> mic, std::span<const float> reference,
               std::span<float> out) override {
    spx_int16_t micIn[kFrameSamples], referenceIn[kFrameSamples], linearOut[kFrameSamples];
    for (size_t i = 0; i < kFrameSamples; ++i) {
      micIn[i] = Resampler::toInt16(mic[i]);
      referenceIn[i] = Resampler::toInt16(reference[i]);
    }
    speex_echo_cancellation(linear_, micIn, referenceIn, linearOut);
    float far[kFrameSamples], near[kFrameSamples];
    for (size_t i = 0; i < kFrameSamples; ++i) {
      far[i] = reference[i];
      near[i] = static_cast<float>(linearOut[i]) / 32768.0f;
    }
    const webrtc::StreamConfig stream(16000, 1, false);
    float* farChannels[] = {far};
    float* nearChannels[] = {near};
    apm_->ProcessReverseStream(farChannels, stream, stream, farChannels);
    // The reference is already aligned with the echo: no delay for it to add.
    apm_->set_stream_delay_ms(0);
    if (apm_->ProcessStream(nearChannels, stream, stream, nearChannels) != 0) {
      std::copy(mic.begin(), mic.begin() + kFrameSamples, out.begin());
      return;
    }
    std::copy(near, near + kFrameSamples, out.begin());
  }

  size_t latencyFrames() const override { return kLatencyFrames; }

private:
  LibraryEchoEngine(SpeexEchoState* linear, std::unique_ptr<webrtc::AudioProcessing> apm)
      : linear_(linear), apm_(std::move(apm)) {}

  SpeexEchoState* const linear_;
  const std::unique_ptr<webrtc::AudioProcessing> apm_;
};

} // namespace

std::unique_ptr<EchoEngine> makeLibraryEchoEngine() {
  return LibraryEchoEngine::make();
}

} // namespace va
