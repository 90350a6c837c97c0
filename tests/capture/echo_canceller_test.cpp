#include "capture/echo_canceller.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <random>

namespace va {
namespace {

constexpr int kRate = 16000;
constexpr uint64_t kNsPerFrame = 62'500;
constexpr uint64_t kStartNs = 5'000'000'000'123; // not on a frame boundary

// Speech-like sound: voiced syllables (a gliding pulse train through two formant resonators,
// with breath noise) separated by short gaps and the odd pause; deterministic for a seed.
std::vector<float> talker(uint32_t seed, double seconds, double pitchHz, double level) {
  std::mt19937 random(seed);
  std::uniform_real_distribution<double> uniform(0, 1);
  std::normal_distribution<double> noise(0, 1);
  const auto total = static_cast<size_t>(seconds * kRate);
  std::vector<float> out(total, 0.0f);
  size_t at = 0;
  double phase = 0, y1[2] = {}, y2[2] = {};
  while (at < total) {
    const auto syllable = static_cast<size_t>((0.12 + 0.15 * uniform(random)) * kRate);
    const auto gap = static_cast<size_t>(
        (0.04 + (uniform(random) < 0.15 ? 0.4 : 0.08) * uniform(random)) * kRate);
    const double formants[2] = {300 + 600 * uniform(random), 900 + 1600 * uniform(random)};
    const double f0 = pitchHz * (0.85 + 0.3 * uniform(random));
    for (size_t i = 0; i < syllable && at < total; ++i, ++at) {
      phase += f0 * (1 + 0.1 * static_cast<double>(i) / syllable) / kRate;
      double excitation = (phase >= 1 ? 1.0 : 0.0) + 0.05 * noise(random);
      phase -= std::floor(phase);
      double value = 0;
      for (int k = 0; k < 2; ++k) { // two-pole resonators
        const double r = 0.97, w = 2 * std::numbers::pi * formants[k] / kRate;
        const double y = excitation + 2 * r * std::cos(w) * y1[k] - r * r * y2[k];
        y2[k] = y1[k];
        y1[k] = y;
        value += y;
      }
      const double envelope = std::sin(std::numbers::pi * static_cast<double>(i) / syllable);
      out[at] = static_cast<float>(value * envelope);
    }
    at += gap;
  }
  // No sound reaches a microphone below 50 Hz: a DC blocker takes the resonators' offset.
  double x1 = 0, y = 0;
  for (float& v : out) {
    y = v - x1 + 0.98 * y;
    x1 = v;
    v = static_cast<float>(y);
  }
  double power = 0;
  for (float v : out)
    power += v * v;
  const double gain = level / std::sqrt(power / static_cast<double>(total));
  for (float& v : out)
    v = static_cast<float>(v * gain);
  return out;
}

// A room: the speaker's sound reaches the microphone after `delayMs`, through a direct path and
// 150 ms of reflections decaying to -70 dB, 7 dB below the speaker. `driftPpm` runs the
// microphone's clock that much fast; `delayAfterMs` takes over at `changeAtS`.
struct Room {
  double delayMs;
  double driftPpm = 0;
  double changeAtS = -1;
  double delayAfterMs = 0;

  std::vector<float> echo(const std::vector<float>& far) const {
    std::mt19937 random(7);
    std::normal_distribution<double> noise(0, 1);
    std::vector<double> response(2400, 0.0);
    response[0] = 1;
    for (size_t i = 16; i < response.size(); ++i)
      response[i] = 0.25 * noise(random) * std::exp(-8.0 * i / response.size());
    double energy = 0;
    for (double v : response)
      energy += v * v;
    for (double& v : response)
      v *= std::pow(10, -7 / 20.0) / std::sqrt(energy);
    std::vector<float> out(far.size(), 0.0f);
    for (size_t n = 0; n < out.size(); ++n) {
      const double t = static_cast<double>(n) / kRate;
      const double delay = (changeAtS >= 0 && t >= changeAtS ? delayAfterMs : delayMs) / 1000;
      const double source = (t * (1 + driftPpm * 1e-6) - delay) * kRate; // in far's samples
      if (source < 0 || source + 1 >= static_cast<double>(far.size()))
        continue;
      const auto i = static_cast<size_t>(source);
      const double f = source - static_cast<double>(i);
      double sum = 0;
      for (size_t k = 0; k < response.size() && k <= i; ++k)
        sum += response[k] * (far[i - k] * (1 - f) + far[i - k + 1] * f);
      out[n] = static_cast<float>(sum);
    }
    return out;
  }
};

int16_t pcm(float v) {
  return static_cast<int16_t>(std::lround(std::clamp(v, -1.0f, 32767.0f / 32768.0f) * 32768.0f));
}

struct Result {
  std::vector<float> out;
  std::vector<double> reports; // "echo_path" delays, in order
};

// Runs the canceller the way the sinks feed it: 20 ms chunks, the reference for a span arriving
// just after the microphone's, both stamped on one clock; checks that every frame comes out once,
// in order, at its own time.
Result cancel(const std::vector<float>& mic, const std::vector<float>& reference,
              std::unique_ptr<EchoEngine> engine = makeLibraryEchoEngine()) {
  EXPECT_TRUE(engine);
  EchoCanceller canceller(std::move(engine));
  Result result;
  auto emit = [&](std::span<const int16_t> frames, uint64_t firstNs) {
    EXPECT_EQ(firstNs, kStartNs + result.out.size() * kNsPerFrame);
    for (int16_t v : frames)
      result.out.push_back(static_cast<float>(v) / 32768.0f);
  };
  constexpr size_t kChunk = 320;
  std::vector<int16_t> chunk;
  for (size_t at = 0; at < mic.size(); at += kChunk) {
    const size_t n = std::min(kChunk, mic.size() - at);
    const uint64_t ns = kStartNs + at * kNsPerFrame;
    chunk.assign(n, 0);
    std::transform(mic.begin() + at, mic.begin() + at + n, chunk.begin(), pcm);
    canceller.microphone(chunk, ns, emit);
    if (at < reference.size()) {
      std::transform(reference.begin() + at, reference.begin() + at + n, chunk.begin(), pcm);
      canceller.reference(chunk, ns);
    }
    if (std::optional<double> delay = canceller.takeDelayReport())
      result.reports.push_back(*delay);
  }
  canceller.flush(emit);
  EXPECT_EQ(result.out.size(), mic.size());
  return result;
}

double power(const std::vector<float>& v, double fromS, double toS) {
  const auto from = static_cast<size_t>(fromS * kRate), to = static_cast<size_t>(toS * kRate);
  double sum = 0;
  for (size_t i = from; i < to; ++i)
    sum += static_cast<double>(v[i]) * v[i];
  return sum / static_cast<double>(to - from) + 1e-15;
}

double decibels(double ratio) {
  return 10 * std::log10(ratio);
}

// Echo removed over a span of far end alone.
double erle(const std::vector<float>& raw, const Result& r, double fromS, double toS) {
  return decibels(power(raw, fromS, toS) / power(r.out, fromS, toS));
}

// The near end's level in the output against the input, by projection on the talker's signal
// (dB), and the echo removed around it while both talk.
std::pair<double, double> nearAndEcho(const std::vector<float>& raw, const Result& r,
                                      const std::vector<float>& near, double fromS, double toS) {
  const auto from = static_cast<size_t>(fromS * kRate), to = static_cast<size_t>(toS * kRate);
  double nn = 0, no = 0, nr = 0;
  for (size_t i = from; i < to; ++i) {
    nn += near[i] * near[i];
    no += near[i] * r.out[i];
    nr += near[i] * raw[i];
  }
  double restOut = 0, restRaw = 0;
  for (size_t i = from; i < to; ++i) {
    restOut += std::pow(r.out[i] - no / nn * near[i], 2);
    restRaw += std::pow(raw[i] - nr / nn * near[i], 2);
  }
  return {20 * std::log10(no / nr), decibels(restRaw / restOut)};
}

std::vector<float> plus(std::vector<float> a, const std::vector<float>& b) {
  for (size_t i = 0; i < a.size() && i < b.size(); ++i)
    a[i] += b[i];
  return a;
}

// A call in three acts: the far end alone (0-8 s), both (8-14 s), the near end alone (14-20 s).
class EchoRoom : public testing::TestWithParam<double> {};

TEST_P(EchoRoom, RemovesTheFarEndAndKeepsTheNearEnd) {
  const double delayMs = GetParam();
  std::vector<float> far = talker(1, 14, 110, 0.1);
  far.resize(20 * kRate, 0.0f);
  std::vector<float> near = talker(2, 12, 210, 0.05);
  near.insert(near.begin(), 8 * kRate, 0.0f);
  near.resize(20 * kRate, 0.0f);
  const std::vector<float> echo = Room{delayMs}.echo(far);
  const std::vector<float> raw = plus(echo, near);
  const Result r = cancel(raw, far);

  EXPECT_GE(erle(raw, r, 0, 2), 15) << "far end's first 2 s";
  EXPECT_GE(erle(raw, r, 2, 8), 25) << "far end alone after 2 s";
  auto [nearWhileBoth, echoWhileBoth] = nearAndEcho(raw, r, near, 8.5, 14);
  EXPECT_NEAR(nearWhileBoth, 0, 4) << "near end while both talk";
  EXPECT_GE(echoWhileBoth, 6) << "echo removed while both talk";
  auto [nearAlone, unused] = nearAndEcho(raw, r, near, 14.5, 20);
  EXPECT_NEAR(nearAlone, 0, 1) << "near end alone";
  // Every 10 ms of the near end alone, once the echo's tail has gone, is where it was, at its
  // level (windows within 20 dB of the talker's mean).
  for (double t = 15; t + 0.01 <= 20; t += 0.01) {
    const double in = power(raw, t, t + 0.01), out = power(r.out, t, t + 0.01);
    if (in > 0.05 * 0.05 / 100) {
      ASSERT_NEAR(decibels(out / in), 0, 2) << "at " << t << " s";
    }
  }
  ASSERT_FALSE(r.reports.empty());
  EXPECT_NEAR(r.reports.front(), delayMs, 8);
}

INSTANTIATE_TEST_SUITE_P(Delays, EchoRoom, testing::Values(60.0, 250.0));

TEST(EchoCanceller, FollowsAnEchoPathThatMovesAndAClockThatDrifts) {
  struct Case {
    const char* name;
    Room room;
    double seconds;
    double recoveredFromS; // far end alone, after the change
    std::vector<double> reports;
  };
  for (const Case& c : {
           Case{"path moves", Room{60, 0, 8, 250}, 16, 11, {60, 250}},
           Case{"100 ppm", Room{120, 100}, 40, 30, {120}},
       }) {
    SCOPED_TRACE(c.name);
    std::vector<float> far = talker(3, c.seconds, 120, 0.1);
    const std::vector<float> raw = c.room.echo(far);
    const Result r = cancel(raw, far);
    EXPECT_GE(erle(raw, r, c.recoveredFromS, c.seconds), 20);
    ASSERT_GE(r.reports.size(), c.reports.size());
    for (size_t i = 0; i < c.reports.size(); ++i)
      EXPECT_NEAR(r.reports[i], c.reports[i], 8);
  }
}

// Stands in for the library: passes the microphone through, `latency` frames late.
class DelayLine final : public EchoEngine {
public:
  explicit DelayLine(size_t latency) : line_(latency, 0.0f) {}
  void process(std::span<const float> mic, std::span<const float>, std::span<float> out) override {
    line_.insert(line_.end(), mic.begin(), mic.end());
    std::copy_n(line_.begin(), out.size(), out.begin());
    line_.erase(line_.begin(), line_.begin() + static_cast<ptrdiff_t>(out.size()));
  }
  size_t latencyFrames() const override { return line_.size(); }

private:
  std::vector<float> line_;
};

TEST(EchoCanceller, EveryFrameComesOutOnceAtItsTimeWithOrWithoutAReference) {
  std::vector<float> mic = talker(4, 1.2345, 150, 0.1);
  for (size_t latency : {0, 112, 300}) {
    SCOPED_TRACE(latency);
    for (bool withReference : {true, false}) {
      const Result r = cancel(mic, withReference ? mic : std::vector<float>{},
                              std::make_unique<DelayLine>(latency));
      ASSERT_EQ(r.out.size(), mic.size());
      for (size_t i = 0; i < mic.size(); ++i)
        ASSERT_NEAR(r.out[i], mic[i], 1.0 / 32768) << i;
    }
  }
}

} // namespace
} // namespace va
