// The echo canceller with each library alone and with both, on one recording: the microphone
// and the reference (what the speaker played), raw 16 kHz mono s16le files recorded together, the
// microphone's recording started first. Each goes through the service's own alignment and delay
// estimate (EchoCanceller) with a different engine; writes <out>/<engine>.s16 and prints the CPU
// seconds per hour of audio of each.
//   echo_engines MIC.s16 REFERENCE.s16 OUTDIR

#include "capture/echo_canceller.h"
#include "capture/resampler.h"

#include <speex/speex_echo.h>
#include <speex/speex_preprocess.h>
#include <webrtc/modules/audio_processing/include/audio_processing.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

namespace {

using va::EchoEngine;

// speexdsp alone: its adaptive filter, then its preprocessor's residual-echo suppressor.
class Speex final : public EchoEngine {
public:
  Speex()
      : echo_(speex_echo_state_init(kFrameSamples, 2048)),
        pre_(speex_preprocess_state_init(kFrameSamples, 16000)) {
    int rate = 16000;
    speex_echo_ctl(echo_, SPEEX_ECHO_SET_SAMPLING_RATE, &rate);
    speex_preprocess_ctl(pre_, SPEEX_PREPROCESS_SET_ECHO_STATE, echo_);
    int off = 0;
    speex_preprocess_ctl(pre_, SPEEX_PREPROCESS_SET_DENOISE, &off);
  }
  ~Speex() override {
    speex_preprocess_state_destroy(pre_);
    speex_echo_state_destroy(echo_);
  }
  void process(std::span<const float> mic, std::span<const float> reference,
               std::span<float> out) override {
    spx_int16_t m[kFrameSamples], r[kFrameSamples], o[kFrameSamples];
    for (size_t i = 0; i < kFrameSamples; ++i) {
      m[i] = va::Resampler::toInt16(mic[i]);
      r[i] = va::Resampler::toInt16(reference[i]);
    }
    speex_echo_cancellation(echo_, m, r, o);
    speex_preprocess_run(pre_, o);
    for (size_t i = 0; i < kFrameSamples; ++i)
      out[i] = static_cast<float>(o[i]) / 32768.0f;
  }
  size_t latencyFrames() const override { return kFrameSamples; } // the preprocessor's frame

private:
  SpeexEchoState* echo_;
  SpeexPreprocessState* pre_;
};

// WebRTC alone, as a desktop's canceller runs it: extended filter, moderate suppression.
class WebRtc final : public EchoEngine {
public:
  WebRtc() {
    webrtc::Config config;
    config.Set<webrtc::ExtendedFilter>(new webrtc::ExtendedFilter(true));
    apm_.reset(webrtc::AudioProcessing::Create(config));
    apm_->high_pass_filter()->Enable(false);
    apm_->echo_cancellation()->Enable(true);
    apm_->echo_cancellation()->set_suppression_level(
        webrtc::EchoCancellation::kModerateSuppression);
  }
  void process(std::span<const float> mic, std::span<const float> reference,
               std::span<float> out) override {
    float far[kFrameSamples], near[kFrameSamples];
    std::copy_n(reference.begin(), kFrameSamples, far);
    std::copy_n(mic.begin(), kFrameSamples, near);
    const webrtc::StreamConfig stream(16000, 1, false);
    float* farChannels[] = {far};
    float* nearChannels[] = {near};
    apm_->ProcessReverseStream(farChannels, stream, stream, farChannels);
    apm_->set_stream_delay_ms(0);
    apm_->ProcessStream(nearChannels, stream, stream, nearChannels);
    std::copy_n(near, kFrameSamples, out.begin());
  }
  size_t latencyFrames() const override { return 112; }

private:
  std::unique_ptr<webrtc::AudioProcessing> apm_;
};

std::vector<int16_t> readRaw(const char* path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<int16_t> samples(bytes.size() / 2);
  std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
  return samples;
}

double cpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

} // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: echo_engines MIC.s16 REFERENCE.s16 OUTDIR\n");
    return 2;
  }
  const std::vector<int16_t> mic = readRaw(argv[1]), reference = readRaw(argv[2]);
  struct Variant {
    const char* name;
    std::unique_ptr<EchoEngine> engine;
  };
  Variant variants[] = {{"speex", std::make_unique<Speex>()},
                        {"webrtc", std::make_unique<WebRtc>()},
                        {"speex+webrtc", va::makeLibraryEchoEngine()}};
  for (Variant& v : variants) {
    va::EchoCanceller canceller(std::move(v.engine));
    std::vector<int16_t> out;
    auto emit = [&](std::span<const int16_t> frames, uint64_t) {
      out.insert(out.end(), frames.begin(), frames.end());
    };
    const double before = cpuSeconds();
    constexpr size_t kChunk = 320; // 20 ms, as a sink converts a cycle
    for (size_t at = 0; at < mic.size(); at += kChunk) {
      const size_t n = std::min(kChunk, mic.size() - at);
      const uint64_t ns = 1'000'000'000ull + at * 62'500;
      if (at < reference.size())
        canceller.reference(std::span(reference).subspan(at, std::min(n, reference.size() - at)),
                            ns);
      canceller.microphone(std::span(mic).subspan(at, n), ns, emit);
    }
    canceller.flush(emit);
    const double cpu = cpuSeconds() - before;
    std::ofstream(std::string(argv[3]) + "/" + v.name + ".s16", std::ios::binary)
        .write(reinterpret_cast<const char*>(out.data()),
               static_cast<std::streamsize>(out.size() * 2));
    std::printf("%s %.1f\n", v.name, cpu / (static_cast<double>(mic.size()) / 16000) * 3600);
  }
  return 0;
}
