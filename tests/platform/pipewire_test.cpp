// The platform layer against a private audio server (with WirePlumber, and bare), with real
// audio checked by frequency and level.

#include "core/serial_queue.h"
#include "platform/pipewire/capture_stream.h"
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

using testing_support::toneAmplitude;
using namespace std::chrono_literals;
using testing_support::eventually;

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
  std::vector<Json> formats;

  BlockDelivery delivery() {
    return [this](std::span<const float> mono, double rate, uint64_t timeNs) {
      std::lock_guard lock(mutex);
      samples.insert(samples.end(), mono.begin(), mono.end());
      blocks.push_back({mono.size(), rate, timeNs});
    };
  }
  FormatReport formatReport() {
    return [this](const Json& report) {
      std::lock_guard lock(mutex);
      formats.push_back(report);
    };
  }
  size_t size() const {
    std::lock_guard lock(mutex);
    return samples.size();
  }
  // Waits for `seconds` more of audio at 48 kHz and returns it.
  std::vector<float> next(double seconds) {
    size_t from = size();
    size_t want = from + static_cast<size_t>(seconds * 48000);
    eventually([&] { return size() >= want; }, 20s);
    std::lock_guard lock(mutex);
    return {samples.begin() + static_cast<ptrdiff_t>(std::min(from, samples.size())),
            samples.begin() + static_cast<ptrdiff_t>(std::min(want, samples.size()))};
  }
};

// Links take a moment and the first block after a link is silence: one second of audio from
// 0.1 s after the first loud sample (from now on).
std::vector<float> settled(Recording& recording) {
  const size_t from = recording.size();
  size_t onset = 0;
  eventually(
      [&] {
        std::lock_guard lock(recording.mutex);
        for (size_t i = std::max(from, onset); i < recording.samples.size(); ++i)
          if (std::fabs(recording.samples[i]) > 0.1f) {
            onset = i;
            return true;
          }
        onset = recording.samples.size();
        return false;
      },
      20s);
  const size_t begin = onset + 4800, end = begin + 48000;
  eventually([&] { return recording.size() >= end; }, 20s);
  std::lock_guard lock(recording.mutex);
  return {
      recording.samples.begin() + static_cast<ptrdiff_t>(std::min(begin, recording.samples.size())),
      recording.samples.begin() + static_cast<ptrdiff_t>(std::min(end, recording.samples.size()))};
}

void expectTone(const std::vector<float>& samples, double hz, double amplitude,
                const std::string& what) {
  ASSERT_GE(samples.size(), 24000u) << what;
  EXPECT_NEAR(toneAmplitude(samples, 48000, hz), amplitude, amplitude * 0.1) << what << " " << hz;
}

void expectNoTone(const std::vector<float>& samples, double hz, const std::string& what) {
  EXPECT_LT(toneAmplitude(samples, 48000, hz), 0.01) << what << " " << hz;
}

class PipeWire : public testing_support::AudioServerTest {
protected:
  std::shared_ptr<Host> connect() {
    auto host = Host::start(static_cast<int32_t>(getpid()));
    EXPECT_TRUE(host && host->connection() == Connection::connected);
    return host;
  }

  std::optional<AudioProcessInfo> process(const std::shared_ptr<Host>& host,
                                          const std::string& bundleID, pid_t pid = 0) {
    std::optional<AudioProcessInfo> found;
    Processes processes(host);
    eventually([&] {
      for (const AudioProcessInfo& p : processes.processes())
        if (p.bundleID == bundleID && (pid == 0 || p.pid == pid))
          found = p;
      return found.has_value();
    });
    return found;
  }
};

TEST_P(PipeWire, VirtualMicsAreListedAndNotifiedOnce) {
  ASSERT_NE(env_->mic("fake_usb_mic", 1000,
                      {"--bus", "usb", "--description", "Fake USB Mic", "--default"}),
            0);
  auto host = connect();
  Inputs inputs(host);
  ASSERT_TRUE(eventually([&] { return inputs.defaultInputID().has_value(); }));
  std::vector<InputDevice> devices = inputs.inputs();
  ASSERT_EQ(devices.size(), 1u);
  EXPECT_EQ(devices[0].uid, "fake_usb_mic");
  EXPECT_EQ(devices[0].name, "Fake USB Mic");
  EXPECT_EQ(devices[0].transport, "usb");
  EXPECT_EQ(devices[0].nominalRate, 48000);
  EXPECT_EQ(devices[0].inputChannels, 1);
  EXPECT_EQ(inputs.defaultInputID(), devices[0].id);

  auto queue = std::make_shared<SerialQueue>("test.listener");
  std::atomic<int> changes{0};
  auto listener = host->notifier()->listen({ChangeKind::deviceList}, queue, [&] { ++changes; });
  pid_t second = env_->mic("second_mic", 500, {"--priority", "100"});
  ASSERT_TRUE(eventually([&] { return changes == 1; }));
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(changes, 1);
  EXPECT_EQ(inputs.inputs().size(), 2u);
  EXPECT_EQ(inputs.defaultInputID(), devices[0].id);
  env_->end(second);
  ASSERT_TRUE(eventually([&] { return changes == 2; }));
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(changes, 2);
  EXPECT_EQ(inputs.inputs().size(), 1u);
  listener->cancel();
  queue->shutdown();
}

TEST_P(PipeWire, MicInputRecordsItsToneOnly) {
  ASSERT_NE(env_->mic("fake_mic", 1000, {"--default"}), 0);
  ASSERT_NE(env_->app("com.example.player", "Player", 440), 0);
  auto host = connect();
  Inputs inputs(host);
  ASSERT_TRUE(
      eventually([&] { return MicDeviceResolver::resolve("fake_mic", inputs).has_value(); }));
  std::optional<InputDevice> device = MicDeviceResolver::resolve("fake_mic", inputs);
  MicInput mic(host);
  Recording recording;
  InputDevice rateless = *device;
  rateless.nominalRate = 0;
  auto refused = mic.start(rateless, recording.delivery());
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().description,
            "input device fake_mic offers no 32-bit float input at 0.0 Hz");
  EXPECT_FALSE(mic.isRunning());
  ASSERT_TRUE(mic.start(*device, recording.delivery()).has_value());
  EXPECT_TRUE(mic.isRunning());
  std::vector<float> audio = settled(recording);
  expectTone(audio, 1000, 0.5, "mic");
  expectNoTone(audio, 440, "mic");
  {
    std::lock_guard lock(recording.mutex);
    EXPECT_EQ(recording.blocks.back().rate, 48000);
    // Stamped with the monotonic clock, in order.
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    uint64_t nowNs = static_cast<uint64_t>(now.tv_sec) * 1000000000ull + now.tv_nsec;
    EXPECT_LE(recording.blocks.back().timeNs, nowNs);
    EXPECT_GT(recording.blocks.back().timeNs, nowNs - 2'000'000'000ull);
    for (size_t i = 1; i < recording.blocks.size(); ++i)
      EXPECT_GE(recording.blocks[i].timeNs, recording.blocks[i - 1].timeNs);
  }
  mic.stop();
  EXPECT_FALSE(mic.isRunning());
  size_t after = recording.size();
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(recording.size(), after);
}

TEST_P(PipeWire, TapRecordsTheTappedAppOnlyAndItStillPlays) {
  ASSERT_NE(env_->mic("fake_mic", 1000, {"--default"}), 0);
  ASSERT_NE(env_->app("com.example.player", "Player", 440), 0);
  ASSERT_NE(env_->app("com.example.distractor", "Distractor", 660), 0);
  auto host = connect();
  std::optional<AudioProcessInfo> player = process(host, "com.example.player");
  ASSERT_TRUE(player);
  Tap tap(host);
  Recording recording;
  ASSERT_TRUE(tap.start({player->objectID}, recording.delivery(), recording.formatReport()));
  EXPECT_TRUE(tap.running());
  std::vector<float> audio = settled(recording);
  expectTone(audio, 440, 0.5, "tap");
  expectNoTone(audio, 660, "tap");
  expectNoTone(audio, 1000, "tap");
  {
    std::lock_guard lock(recording.mutex);
    ASSERT_FALSE(recording.formats.empty());
    const Json& start = recording.formats.front();
    EXPECT_EQ(start["reason"], "start");
    EXPECT_EQ(start["clock"], "tap");
    EXPECT_EQ(start["rateUsed"], 48000.0);
    EXPECT_EQ(start["channels"], 2);
  }
  if (!env_->bare()) {
    // The session manager keeps playing the apps to the speaker: its monitor still carries the
    // tapped tone, at its level (and the distractor's, which plays there too).
    CaptureStream monitor(host);
    Recording heard;
    auto planner = [](const Graph& graph, uint32_t own) {
      std::vector<PlannedLink> links;
      std::map<std::string, uint32_t> ours;
      for (const auto& [id, port] : graph.ports)
        if (port.node == own && !port.output)
          ours[port.channel] = id;
      for (const auto& [id, node] : graph.nodes)
        if (prop(node.props, "node.name") == "ci_sink")
          for (const auto& [portId, port] : graph.ports)
            if (port.node == id && port.output && port.monitor &&
                ours.contains(port.channel.substr(port.channel.find('_') + 1)))
              links.push_back(
                  {id, portId, own, ours[port.channel.substr(port.channel.find('_') + 1)]});
      return links;
    };
    auto block = [deliver = heard.delivery()](const float* planar, size_t frames, uint32_t,
                                              double rate, uint64_t timeNs) {
      deliver(std::span(planar, frames), rate, timeNs); // the left channel
    };
    ASSERT_TRUE(monitor.start({.nodeName = "velmorrant-audio.mic.monitor-check",
                               .description = "monitor check",
                               .positions = {"FL", "FR"},
                               .alwaysProcess = false},
                              planner, block));
    // Heard is what counts here; a loaded machine may cost this extra recorder a cycle.
    std::vector<float> speaker = settled(heard);
    EXPECT_GT(toneAmplitude(speaker, 48000, 440), 0.25) << "speaker";
    EXPECT_GT(toneAmplitude(speaker, 48000, 660), 0.25) << "speaker";
    monitor.stop();
  }
  tap.stop();
  EXPECT_FALSE(tap.running());
  tap.stop();
  tap.update({player->objectID}); // nothing runs: nothing happens
  EXPECT_FALSE(tap.running());
}

TEST_P(PipeWire, UpdateMixesAndDropsAppsWithoutAGap) {
  ASSERT_NE(env_->app("com.example.a", "AppA", 440), 0);
  ASSERT_NE(env_->app("com.example.b", "AppB", 660), 0);
  auto host = connect();
  std::optional<AudioProcessInfo> a = process(host, "com.example.a");
  std::optional<AudioProcessInfo> b = process(host, "com.example.b");
  ASSERT_TRUE(a && b);
  Tap tap(host);
  Recording recording;
  ASSERT_TRUE(tap.start({a->objectID}, recording.delivery(), recording.formatReport()));
  std::vector<float> first = settled(recording);
  tap.update({a->objectID, b->objectID});
  recording.next(0.3);
  std::vector<float> both = recording.next(1.0);
  tap.update({b->objectID});
  recording.next(0.3);
  std::vector<float> last = recording.next(1.0);
  tap.stop();

  expectTone(first, 440, 0.5, "a alone");
  expectNoTone(first, 660, "a alone");
  expectTone(both, 440, 0.5, "both");
  expectTone(both, 660, 0.5, "both");
  expectTone(last, 660, 0.5, "b alone");
  expectNoTone(last, 440, "b alone");
  // One stream throughout: block times advance by their own length. A loaded machine may miss
  // a cycle while links are added, but a restarted stream would leave a far longer hole.
  std::lock_guard lock(recording.mutex);
  for (size_t i = 1; i < recording.blocks.size(); ++i) {
    const auto& previous = recording.blocks[i - 1];
    double expected = previous.frames / previous.rate * 1e9;
    double step = static_cast<double>(recording.blocks[i].timeNs - previous.timeNs);
    EXPECT_GT(step, expected - 5e6) << "block " << i;
    EXPECT_LT(step, expected + 100e6) << "block " << i;
  }
}

TEST_P(PipeWire, APausedAppStopsRunning) {
  pid_t pid = env_->app("com.example.player", "Player", 440);
  ASSERT_NE(pid, 0);
  auto host = connect();
  std::optional<AudioProcessInfo> player = process(host, "com.example.player");
  ASSERT_TRUE(player);
  // Tapped, the app is linked (and so running) with or without a session manager.
  Tap tap(host);
  Recording recording;
  ASSERT_TRUE(tap.start({player->objectID}, recording.delivery(), nullptr));
  Processes processes(host);
  auto running = [&] {
    for (const AudioProcessInfo& p : processes.processes())
      if (p.objectID == player->objectID)
        return p.runningOutput;
    return false;
  };
  ASSERT_TRUE(eventually(running));
  auto queue = std::make_shared<SerialQueue>("test.listener");
  std::atomic<int> changes{0};
  auto listener = host->notifier()->listen({ChangeKind::processRunning, player->objectID}, queue,
                                           [&] { ++changes; });
  env_->pause(pid);
  ASSERT_TRUE(eventually([&] { return !running(); }));
  EXPECT_TRUE(eventually([&] { return changes >= 1; }));
  env_->resume(pid);
  EXPECT_TRUE(eventually(running));
  tap.stop();
  listener.reset();
  queue->shutdown();
}

TEST_P(PipeWire, TheModelEmptiesWhenTheServerDiesAndFillsWhenItReturns) {
  ASSERT_NE(env_->mic("fake_mic", 1000, {"--default"}), 0);
  ASSERT_NE(env_->app("com.example.player", "Player", 440), 0);
  auto host = connect();
  Inputs inputs(host);
  Processes processes(host);
  ASSERT_TRUE(eventually([&] { return !inputs.inputs().empty(); }));
  ASSERT_TRUE(process(host, "com.example.player"));
  MicInput mic(host);
  Recording recording;
  ASSERT_TRUE(mic.start(inputs.inputs()[0], recording.delivery()));

  ASSERT_TRUE(env_->stopServer());
  EXPECT_TRUE(eventually([&] { return inputs.inputs().empty() && processes.processes().empty(); }));
  EXPECT_EQ(inputs.defaultInputID(), std::nullopt);
  EXPECT_NE(host->connection(), Connection::connected);
  mic.stop(); // harmless once the stream went with the server
  Tap tap(host);
  auto refused = tap.start({1}, recording.delivery(), nullptr);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().description, "no audio server can be reached");
  EXPECT_FALSE(MicInput(host).start(InputDevice{99, "fake_mic", "m", "virtual", 48000, 1},
                                    recording.delivery()));

  ASSERT_TRUE(env_->startServer());
  ASSERT_NE(env_->mic("fake_mic", 1000, {"--default"}), 0);
  ASSERT_TRUE(eventually([&] { return inputs.defaultInputID().has_value(); }, 20s));
  EXPECT_EQ(host->connection(), Connection::connected);
  ASSERT_TRUE(mic.start(inputs.inputs()[0], recording.delivery()));
  expectTone(settled(recording), 1000, 0.5, "mic after the restart");
  mic.stop();
}

VA_AUDIO_SERVER_TEST_SUITE(PipeWire);

} // namespace
} // namespace va::pw
