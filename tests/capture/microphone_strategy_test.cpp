#include "capture/microphone_strategy.h"
#include "fakes/fake_platform.h"
#include "fakes/manual_time.h"

namespace va {
namespace {

using namespace std::chrono_literals;
using testing_support::Events;

const InputDevice kUsb{1, "usb_mic", "USB Mic", "usb", 48000, 1};
const InputDevice kBuiltIn{2, "builtin_mic", "Built-in", "built-in", 44100, 2};

Json started(const std::string& reason, const InputDevice& device) {
  return {{"track", "mic"},
          {"reason", reason},
          {"device", device.json()},
          {"captureRate", device.nominalRate}};
}
Events resumed(const InputDevice& device, double gapS) {
  Json fields = started("device_changed", device);
  fields["gapS"] = gapS;
  return {{"track_resumed", fields}};
}
Events interrupted(const std::string& reason) {
  return {{"track_interrupted", {{"track", "mic"}, {"reason", reason}}}};
}

// The strategy over fake devices, permission and input; stopped at the end of every case.
class MicrophoneStrategyTest : public testing_support::ManualTimeTest {
protected:
  MicrophoneStrategyTest() {
    devices->devices = {kUsb, kBuiltIn};
    devices->defaultID = kUsb.id;
    auth->word = "granted";
  }

  void TearDown() override { mic->stop(); }
  void start(std::optional<std::string> uid = std::nullopt) {
    mic = std::make_shared<MicrophoneStrategy>(
        uid, MicrophoneStrategy::Platform{devices, auth, io, notifier}, clock, queue);
    EXPECT_TRUE(mic->start(sink, events));
    queue->runUntilIdle();
  }
  // A notification, then the debounce's 0.3 s.
  Events settle(ChangeKind kind) {
    notify(kind);
    queue->advance(300ms);
    return take();
  }

  std::shared_ptr<fakes::FakeInputDevices> devices = std::make_shared<fakes::FakeInputDevices>();
  std::shared_ptr<fakes::FakeMicAuthorization> auth =
      std::make_shared<fakes::FakeMicAuthorization>();
  std::shared_ptr<fakes::FakeMicIO> io = std::make_shared<fakes::FakeMicIO>();
  std::shared_ptr<MicrophoneStrategy> mic;
};

// Blocks go straight through, their stamps kept. The default is followed after one check, 0.3 s
// after the first of several notifications; one with nothing changed restarts nothing. A revoked
// permission is seen within two seconds, and leaves the strategy inert.
TEST_F(MicrophoneStrategyTest, FollowsTheDefaultAfterOneDebouncedCheckUntilThePermissionIsRevoked) {
  start();
  EXPECT_EQ(take(), (Events{{"track_started", started("start", kUsb)}}));
  io->deliver(480, 48000, 77);
  ASSERT_EQ(sink->blocks().size(), 1u);
  EXPECT_EQ(sink->blocks()[0].hostNs, 77u);
  devices->defaultID = kBuiltIn.id;
  notify(ChangeKind::defaultInput);
  queue->advance(100ms);
  notify(ChangeKind::deviceList);
  queue->advance(100ms);
  notify(ChangeKind::deviceConfig, kUsb.id);
  queue->advance(99ms);
  EXPECT_TRUE(take().empty());
  queue->advance(1ms);
  EXPECT_EQ(take(), (Events{{"default_input_changed", {{"device", kBuiltIn.json()}}},
                            {"track_started", started("device_changed", kBuiltIn)}}));
  EXPECT_TRUE(settle(ChangeKind::deviceList).empty());
  EXPECT_EQ(io->starts.size(), 2u);
  EXPECT_EQ(sink->splits(), 0);

  auth->word = "denied";
  queue->advance(2s);
  EXPECT_EQ(take(),
            (Events{{"permission_revoked", {{"kind", "microphone"}}},
                    {"track_stopped", {{"track", "mic"}, {"reason", "permission_revoked"}}}}));
  EXPECT_EQ(sink->splits(), 1);
  EXPECT_FALSE(io->isRunning());
  notify(ChangeKind::deviceList);
  queue->advance(10s);
  mic->stop();
  EXPECT_TRUE(take().empty());
}

// A requested device stays through moves of the default (end to end, to a listed one; here to
// none); unplugged, it interrupts the track, which resumes with the length of the gap when it
// returns.
TEST_F(MicrophoneStrategyTest, ARequestedDeviceStaysUntilItIsUnplugged) {
  start("usb_mic");
  take();
  devices->defaultID = 9; // not a listed input
  EXPECT_EQ(settle(ChangeKind::defaultInput),
            (Events{{"default_input_changed", {{"device", nullptr}}}}));
  EXPECT_EQ(io->starts.size(), 1u);

  devices->devices = {kBuiltIn};
  EXPECT_EQ(settle(ChangeKind::deviceList), interrupted("device_unavailable"));
  EXPECT_EQ(sink->splits(), 1);
  EXPECT_FALSE(io->isRunning());
  queue->advance(5s); // no stall restarts while interrupted
  EXPECT_TRUE(take().empty());
  devices->devices = {kBuiltIn, kUsb};
  EXPECT_EQ(settle(ChangeKind::deviceList), resumed(kUsb, 5.3));
  EXPECT_EQ(sink->splits(), 1);
}

// A failed start is not retried on a timer: the next notification tries again. (A start without
// a device, waiting for one, is the end-to-end late server's.)
TEST_F(MicrophoneStrategyTest, AStartThatCannotBeMadeWaitsForTheNextNotification) {
  io->failWith = "pw_stream_connect: Device or resource busy";
  start();
  EXPECT_EQ(take(), interrupted("start_failed"));
  queue->advance(10s);
  EXPECT_TRUE(take().empty());
  EXPECT_EQ(io->starts.size(), 1u);
  io->failWith.reset();
  EXPECT_EQ(settle(ChangeKind::deviceList), resumed(kUsb, 10.3));
}

// Restarts come 3, 13, 43, 103 and 163 s after the start without audio; audio starts the count
// over, 3 s after its last block (at the next 1-second tick).
TEST_F(MicrophoneStrategyTest, SilenceRestartsWithBackoffAndAudioResetsIt) {
  start();
  take();
  // The seconds after `from` at which the restarts of the next `seconds` come, by attempt.
  auto restarts = [&](int64_t from, double seconds) {
    std::vector<std::pair<double, int64_t>> seen;
    for (int tick = 0; tick < seconds * 10; ++tick) {
      queue->advance(100ms);
      for (const auto& e : take()) {
        if (e.type == "mic_stall_restart")
          seen.emplace_back(static_cast<double>(clock->nowNs() - from) / 1e9, e.fields["attempt"]);
        else
          EXPECT_EQ(e.fields, started("stall_restart", kUsb)) << e.type;
      }
    }
    return seen;
  };
  EXPECT_EQ(restarts(clock->nowNs(), 165), (std::vector<std::pair<double, int64_t>>{
                                               {3, 1}, {13, 2}, {43, 3}, {103, 4}, {163, 5}}));
  for (int i = 0; i < 20; ++i) { // 2 s of audio
    io->deliver(4800, 48000, static_cast<uint64_t>(clock->nowNs()));
    queue->advance(100ms);
  }
  EXPECT_EQ(restarts(clock->nowNs() - 100'000'000, 4),
            (std::vector<std::pair<double, int64_t>>{{3.1, 1}}));
}

TEST_F(MicrophoneStrategyTest, PermissionAskedFirst) {
  const Events denied{{"failed", {{"track", "mic"}, {"reason", "microphone_denied"}}}},
      stopped{{"track_stopped", {{"track", "mic"}}}};
  // The status, whether a request grants it, the events.
  const std::tuple<const char*, bool, Events> cases[] = {
      {"not_determined", true, {{"track_started", started("start", kUsb)}}},
      {"not_determined", false, denied},
      {"restricted", true, denied},
  };
  for (const auto& [word, grant, expected] : cases) {
    SCOPED_TRACE(std::string(word) + (grant ? " granted" : " refused"));
    auth->word = word;
    auth->grantOnRequest = grant;
    start();
    EXPECT_EQ(take(), expected);
    mic->stop();
    mic->stop();
    // A refused strategy is inert: its stop adds no "track_stopped". Stopped, nothing is left.
    EXPECT_EQ(take(), expected == denied ? Events{} : stopped);
    EXPECT_EQ(notifier->count(), 0u);
    EXPECT_EQ(queue->pending(), 0u);
  }
}

} // namespace
} // namespace va
