// The platform layer against a private audio server (with WirePlumber, and bare), with real
// audio checked by frequency and level.

#include "core/serial_queue.h"
#include "platform/pipewire/pipewire_platform.h"
#include "support/audio_server_test.h"
#include "support/eventually.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <mutex>
#include <thread>
#include <unistd.h>

namespace va::pw {
namespace {

using namespace std::chrono_literals;
using namespace testing_support;

// Everything delivered to a MicIO or TapIO callback.
struct Recording {
  struct Block {
    size_t frames;
    double rate;
    uint64_t timeNs;
  };
  mutable std::mutex mutex;
  std::vector<float> samples;
  std::vector<Block> blocks;

  BlockDelivery delivery() {
    return [this](std::span<const float> mono, double rate, uint64_t timeNs) {
      std::lock_guard lock(mutex);
      samples.insert(samples.end(), mono.begin(), mono.end());
      blocks.push_back({mono.size(), rate, timeNs});
    };
  }
  size_t size() const {
    std::lock_guard lock(mutex);
    return samples.size();
  }
  // Waits for `seconds` more of audio at 48 kHz and returns it (what came, if less).
  std::vector<float> next(double seconds) {
    const size_t from = size(), want = from + static_cast<size_t>(seconds * 48000);
    eventually([&] { return size() >= want; });
    std::lock_guard lock(mutex);
    return {samples.begin() + static_cast<ptrdiff_t>(from),
            samples.begin() + static_cast<ptrdiff_t>(std::min(want, samples.size()))};
  }
  // Links take a moment and the first block after a link is silence: one second of audio from
  // 0.1 s after the first loud sample to come.
  std::vector<float> settled() {
    const size_t from = size();
    eventually([&] {
      std::lock_guard lock(mutex);
      return samples.size() > from && std::fabs(samples.back()) > 0.1f;
    });
    return after(0.1);
  }
  // One second of audio after skipping `skip` seconds of it.
  std::vector<float> after(double skip) {
    next(skip);
    return next(1.0);
  }
};

// Each tone of `heard` at the players' amplitude, none of `absent`: in `samples` or, where a
// loaded machine broke that second (a player late for its cycles), in one of the two seconds of
// `recording` that follow.
void expectTones(std::vector<float> samples, Recording& recording,
                 std::initializer_list<double> heard, std::initializer_list<double> absent,
                 const std::string& what) {
  auto hold = [&] {
    bool all = samples.size() >= 24000;
    for (double hz : heard)
      all = all && std::abs(toneAmplitude(samples, 48000, hz) - 0.5) <= 0.05;
    for (double hz : absent)
      all = all && toneAmplitude(samples, 48000, hz) < 0.01;
    return all;
  };
  for (int retry = 0; retry < 2 && !hold(); ++retry)
    samples = recording.next(1.0);
  ASSERT_GE(samples.size(), 24000u) << what;
  for (double hz : heard)
    EXPECT_NEAR(toneAmplitude(samples, 48000, hz), 0.5, 0.05) << what << " " << hz;
  for (double hz : absent)
    EXPECT_LT(toneAmplitude(samples, 48000, hz), 0.01) << what << " " << hz;
}

class PipeWire : public AudioServerTest {};

// One server through the model's life and both kinds of capture. Devices come and go with one
// notification each. The microphone refuses a device without a rate. The tap records only its
// apps and changes them within one stream, stamped by the monotonic clock; a tapped app that is
// paused stops running. The model empties with the server and fills again only once synced (it
// was once shown before the first sync). A stopped mic stays silent.
TEST_P(PipeWire, TheModelAndBothCapturesThroughTheServersLife) {
  ASSERT_NE(env_->mic("fake_mic", 1000, {"--default"}), 0);
  ASSERT_NE(env_->app("com.example.a", "AppA", 440), 0);
  pid_t pidB = env_->app("com.example.b", "AppB", 660);
  ASSERT_NE(pidB, 0);
  auto host = Host::start(static_cast<int32_t>(getpid()));
  ASSERT_TRUE(host && host->connection() == Connection::connected);
  Inputs inputs(host);
  Processes processes(host);
  auto process = [&](const std::string& bundleID) { // once listed
    std::optional<AudioProcessInfo> found;
    eventually([&] {
      for (const AudioProcessInfo& p : processes.processes())
        if (p.bundleID == bundleID)
          found = p;
      return found.has_value();
    });
    return found;
  };
  ASSERT_TRUE(eventually([&] { return inputs.defaultInputID().has_value(); }));
  std::optional<AudioProcessInfo> a = process("com.example.a"), b = process("com.example.b");
  ASSERT_TRUE(a && b);
  const InputDevice device = inputs.inputs().at(0);

  std::atomic<int> changes{0}, bChanges{0}; // outlive the queue that counts them
  auto queue = std::make_shared<SerialQueue>("test.listener");
  auto devices = host->notifier()->listen({ChangeKind::deviceList}, queue, [&] { ++changes; });
  auto oneChangeAndInputs = [&](int change, size_t listed) { // and no second notification
    ASSERT_TRUE(eventually([&] { return changes == change; }));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(changes, change);
    EXPECT_EQ(inputs.inputs().size(), listed);
  };
  pid_t second = env_->mic("second_mic", 500, {"--priority", "100"});
  oneChangeAndInputs(1, 2);
  EXPECT_EQ(inputs.defaultInputID(), device.id);
  env_->end(second);
  oneChangeAndInputs(2, 1);

  Recording recording; // before the capture that delivers to it, so it outlives that
  MicInput mic(host);
  auto refused = mic.start({device.id, "fake_mic", "m", "virtual", 0, 1}, recording.delivery());
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().description,
            "input device fake_mic offers no 32-bit float input at 0.0 Hz");
  EXPECT_FALSE(mic.isRunning());
  ASSERT_TRUE(mic.start(device, recording.delivery()));
  recording.next(0.5);

  Recording tapped;
  Tap tap(host);
  ASSERT_TRUE(tap.start({a->objectID}, tapped.delivery(), nullptr));
  expectTones(tapped.settled(), tapped, {440}, {660, 1000}, "a alone");
  tap.update({a->objectID, b->objectID});
  expectTones(tapped.after(0.3), tapped, {440, 660}, {1000}, "both");
  tap.update({b->objectID});
  expectTones(tapped.after(0.3), tapped, {660}, {440, 1000}, "b alone");
  {
    std::lock_guard lock(tapped.mutex);
    // One stream throughout, stamped by the monotonic clock: block times advance by their own
    // length (the mic's blocks are stamped by the same stream code). A loaded machine may miss a
    // cycle while links are added, but a restarted stream would leave a far longer hole.
    const uint64_t nowNs = std::chrono::steady_clock::now().time_since_epoch().count();
    EXPECT_LE(tapped.blocks.back().timeNs, nowNs);
    EXPECT_GT(tapped.blocks.back().timeNs, nowNs - 2'000'000'000ull);
    for (size_t i = 1; i < tapped.blocks.size(); ++i) {
      const auto& previous = tapped.blocks[i - 1];
      double expected = previous.frames / previous.rate * 1e9;
      double step = static_cast<double>(tapped.blocks[i].timeNs - previous.timeNs);
      EXPECT_GT(step, expected - 5e6) << "block " << i;
      EXPECT_LT(step, expected + 100e6) << "block " << i;
    }
  }
  // Tapped, b is linked (and so running) with or without a session manager.
  auto running = [&] { return process(b->bundleID).value_or(AudioProcessInfo{}).runningOutput; };
  ASSERT_TRUE(eventually(running));
  auto bRunning = host->notifier()->listen({ChangeKind::processRunning, b->objectID}, queue,
                                           [&] { ++bChanges; });
  env_->pause(pidB);
  ASSERT_TRUE(eventually([&] { return !running(); }));
  EXPECT_TRUE(eventually([&] { return bChanges >= 1; }));
  env_->resume(pidB);
  EXPECT_TRUE(eventually(running));
  tap.stop();
  tap.stop();
  tap.update({a->objectID}); // nothing runs: nothing happens
  EXPECT_FALSE(tap.running());

  ASSERT_TRUE(env_->stopServer());
  EXPECT_TRUE(eventually([&] { return inputs.inputs().empty() && processes.processes().empty(); }));
  EXPECT_EQ(inputs.defaultInputID(), std::nullopt);
  EXPECT_NE(host->connection(), Connection::connected);
  mic.stop(); // harmless once the stream went with the server
  refused = tap.start({1}, tapped.delivery(), nullptr);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().description, "no audio server can be reached");
  EXPECT_FALSE(MicInput(host).start(InputDevice{99, "fake_mic", "m", "virtual", 48000, 1},
                                    recording.delivery()));

  ASSERT_TRUE(env_->startServer());
  ASSERT_NE(env_->mic("fake_mic", 1000, {"--default"}), 0);
  ASSERT_TRUE(eventually([&] { return inputs.defaultInputID().has_value(); }, 20s));
  EXPECT_EQ(host->connection(), Connection::connected);
  ASSERT_TRUE(mic.start(inputs.inputs()[0], recording.delivery()));
  expectTones(recording.settled(), recording, {1000}, {}, "mic after the restart");
  mic.stop();
  EXPECT_FALSE(mic.isRunning());
  size_t after = recording.size();
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(recording.size(), after);
}

VA_AUDIO_SERVER_TEST_SUITE(PipeWire);

} // namespace
} // namespace va::pw
