#include "capture/event_log.h"
#include "capture/microphone_strategy.h"
#include "core/manual_queue.h"
#include "fakes/fake_platform.h"
#include "fakes/logged_events.h"
#include "fakes/recording_sink.h"

#include <gtest/gtest.h>

namespace va {
namespace {

using namespace std::chrono_literals;
constexpr int64_t kS = 1'000'000'000;

const InputDevice kUsb{1, "usb_mic", "USB Mic", "usb", 48000, 1};
const InputDevice kBuiltIn{2, "builtin_mic", "Built-in", "built-in", 44100, 2};

using Event = testing_support::LoggedEvent;

Json started(const std::string& reason, const InputDevice& device) {
  return {{"track", "mic"},
          {"reason", reason},
          {"device", device.json()},
          {"captureRate", device.nominalRate}};
}

// The strategy over fake devices, permission and input, in virtual time.
class MicrophoneStrategyTest : public ::testing::Test {
protected:
  void SetUp() override {
    devices->devices = {kUsb, kBuiltIn};
    devices->defaultID = kUsb.id;
    auth->word = "granted";
  }

  std::shared_ptr<MicrophoneStrategy> start(std::optional<std::string> uid = std::nullopt) {
    auto strategy = std::make_shared<MicrophoneStrategy>(
        uid, MicrophoneStrategy::Platform{devices, auth, io, notifier}, clock, queue);
    EXPECT_TRUE(strategy->start(sink, events));
    queue->runUntilIdle();
    return strategy;
  }
  // Events appended since the last call.
  std::vector<Event> take() { return reader_.take(); }
  void notify(ChangeKind kind, uint32_t object = 0) {
    notifier->notify({kind, object});
    queue->runUntilIdle();
  }
  // Audio for `seconds`, a block every 100 ms of virtual time.
  void play(double seconds) {
    for (int i = 0; i < seconds * 10; ++i) {
      io->deliver(4800, 48000, static_cast<uint64_t>(clock->nowNs()));
      queue->advance(100ms);
    }
  }

  std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>(1000 * kS);
  std::shared_ptr<ManualQueue> queue = std::make_shared<ManualQueue>(clock);
  std::shared_ptr<fakes::FakeInputDevices> devices = std::make_shared<fakes::FakeInputDevices>();
  std::shared_ptr<fakes::FakeMicAuthorization> auth =
      std::make_shared<fakes::FakeMicAuthorization>();
  std::shared_ptr<fakes::FakeMicIO> io = std::make_shared<fakes::FakeMicIO>();
  std::shared_ptr<ListenerRegistry> notifier = std::make_shared<ListenerRegistry>();
  std::shared_ptr<testing_support::RecordingSink> sink =
      std::make_shared<testing_support::RecordingSink>(clock, "mic");
  std::shared_ptr<EventLog> events = std::make_shared<EventLog>(clock);

private:
  testing_support::EventReader reader_{events};
};

TEST_F(MicrophoneStrategyTest, StartsOnTheDefaultInput) {
  auto mic = start();
  EXPECT_EQ(take(), (std::vector<Event>{{"track_started", started("start", kUsb)}}));
  ASSERT_EQ(io->started.size(), 1u);
  EXPECT_TRUE(io->running);
  io->deliver(480, 48000, 77);
  ASSERT_EQ(sink->blockCount(), 1u);
  EXPECT_EQ(sink->blocks()[0].hostNs, 77u); // straight through, stamp kept
  mic->stop();
  EXPECT_EQ(take(), (std::vector<Event>{{"track_stopped", {{"track", "mic"}}}}));
  mic->stop();
  EXPECT_TRUE(take().empty());
  EXPECT_FALSE(io->running);
  EXPECT_EQ(notifier->count(), 0u);
  EXPECT_EQ(queue->pending(), 0u);
}

TEST_F(MicrophoneStrategyTest, FollowsTheDefaultAfterOneDebouncedCheck) {
  auto mic = start();
  take();
  devices->defaultID = kBuiltIn.id;
  notify(ChangeKind::defaultInput);
  queue->advance(100ms);
  notify(ChangeKind::deviceList);
  queue->advance(100ms);
  notify(ChangeKind::deviceConfig, kUsb.id);
  queue->advance(99ms);
  EXPECT_TRUE(take().empty()); // 0.3 s after the first notification, not before
  queue->advance(1ms);
  EXPECT_EQ(take(), (std::vector<Event>{{"default_input_changed", {{"device", kBuiltIn.json()}}},
                                        {"track_started", started("device_changed", kBuiltIn)}}));
  EXPECT_EQ(io->started.size(), 2u);
  EXPECT_EQ(sink->splits(), 0);
  // A later notification with nothing changed restarts nothing.
  notify(ChangeKind::deviceList);
  queue->advance(300ms);
  EXPECT_TRUE(take().empty());
  EXPECT_EQ(io->started.size(), 2u);
  mic->stop();
}

TEST_F(MicrophoneStrategyTest, ARequestedDeviceStaysWhenTheDefaultMoves) {
  auto mic = start("usb_mic");
  take();
  devices->defaultID = kBuiltIn.id;
  notify(ChangeKind::defaultInput);
  queue->advance(300ms);
  EXPECT_EQ(take(), (std::vector<Event>{{"default_input_changed", {{"device", kBuiltIn.json()}}}}));
  EXPECT_EQ(io->started.size(), 1u);
  devices->defaultID = 9; // not a listed input
  notify(ChangeKind::defaultInput);
  queue->advance(300ms);
  EXPECT_EQ(take(), (std::vector<Event>{{"default_input_changed", {{"device", nullptr}}}}));
  mic->stop();
}

TEST_F(MicrophoneStrategyTest, AnUnpluggedDeviceInterruptsAndResumesWithTheGap) {
  auto mic = start("usb_mic");
  take();
  devices->devices = {kBuiltIn};
  notify(ChangeKind::deviceList);
  queue->advance(300ms);
  EXPECT_EQ(take(), (std::vector<Event>{{"track_interrupted",
                                         {{"track", "mic"}, {"reason", "device_unavailable"}}}}));
  EXPECT_EQ(sink->splits(), 1);
  EXPECT_FALSE(io->running);
  queue->advance(5s); // no stall restarts while interrupted
  EXPECT_TRUE(take().empty());
  devices->devices = {kBuiltIn, kUsb};
  notify(ChangeKind::deviceList);
  queue->advance(300ms);
  Json resumed = started("device_changed", kUsb);
  resumed["gapS"] = 5.3;
  EXPECT_EQ(take(), (std::vector<Event>{{"track_resumed", resumed}}));
  EXPECT_EQ(sink->splits(), 1);
  mic->stop();
}

TEST_F(MicrophoneStrategyTest, NoDefaultInputAtStartIsAnInterruption) {
  devices->defaultID.reset();
  auto mic = start();
  EXPECT_EQ(take(), (std::vector<Event>{{"track_interrupted",
                                         {{"track", "mic"}, {"reason", "device_unavailable"}}}}));
  mic->stop();
}

TEST_F(MicrophoneStrategyTest, SilenceRestartsWithBackoffAndAudioResetsIt) {
  const int64_t t0 = clock->nowNs();
  auto mic = start();
  take();
  std::vector<double> at; // seconds after the start
  std::vector<int64_t> attempts;
  for (int s = 0; s < 165; ++s) {
    queue->advance(1s);
    for (const Event& e : take()) {
      if (e.type == "mic_stall_restart") {
        at.push_back(static_cast<double>(clock->nowNs() - t0) / kS);
        attempts.push_back(e.fields["attempt"]);
      } else {
        EXPECT_EQ(e, (Event{"track_started", started("stall_restart", kUsb)}));
      }
    }
  }
  EXPECT_EQ(at, (std::vector<double>{3, 13, 43, 103, 163}));
  EXPECT_EQ(attempts, (std::vector<int64_t>{1, 2, 3, 4, 5}));
  // Audio flows again: the count starts over, 3 s after the last block.
  play(2);
  take();
  const int64_t lastBlock = clock->nowNs() - 100'000'000;
  std::optional<double> next;
  for (int i = 0; i < 40 && !next; ++i) {
    queue->advance(100ms);
    for (const Event& e : take())
      if (e.type == "mic_stall_restart") {
        EXPECT_EQ(e.fields["attempt"], 1);
        next = static_cast<double>(clock->nowNs() - lastBlock) / kS;
      }
  }
  ASSERT_TRUE(next);
  EXPECT_GE(*next, 3.0);
  EXPECT_LT(*next, 4.0); // the next 1-second tick
  mic->stop();
}

TEST_F(MicrophoneStrategyTest, AFailedStartWaitsForTheNextNotification) {
  io->failWith = "pw_stream_connect: Device or resource busy";
  auto mic = start();
  EXPECT_EQ(take(), (std::vector<Event>{
                        {"track_interrupted", {{"track", "mic"}, {"reason", "start_failed"}}}}));
  queue->advance(10s);
  EXPECT_TRUE(take().empty());
  EXPECT_EQ(io->started.size(), 1u);
  io->failWith.reset();
  notify(ChangeKind::deviceList);
  queue->advance(300ms);
  Json resumed = started("device_changed", kUsb);
  resumed["gapS"] = 10.3;
  EXPECT_EQ(take(), (std::vector<Event>{{"track_resumed", resumed}}));
  mic->stop();
}

TEST_F(MicrophoneStrategyTest, PermissionAskedFirst) {
  struct Case {
    const char* word;
    bool grant;
    std::vector<Event> expected;
  } cases[] = {
      {"not_determined", true, {{"track_started", started("start", kUsb)}}},
      {"not_determined", false, {{"failed", {{"track", "mic"}, {"reason", "microphone_denied"}}}}},
      {"denied", true, {{"failed", {{"track", "mic"}, {"reason", "microphone_denied"}}}}},
      {"restricted", true, {{"failed", {{"track", "mic"}, {"reason", "microphone_denied"}}}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.word) + (c.grant ? " granted" : " refused"));
    events = std::make_shared<EventLog>(clock);
    auth->word = c.word;
    auth->grantOnRequest = c.grant;
    auto mic = std::make_shared<MicrophoneStrategy>(
        std::nullopt, MicrophoneStrategy::Platform{devices, auth, io, notifier}, clock, queue);
    mic->start(sink, events);
    queue->runUntilIdle();
    std::vector<Event> got;
    for (const CaptureEvent& e : events->snapshot(0))
      got.push_back({e.type, e.fields});
    EXPECT_EQ(got, c.expected);
    mic->stop();
    // A refused strategy is inert: its stop adds no "track_stopped".
    size_t stopped = c.expected[0].type == "failed" ? 0 : 1;
    EXPECT_EQ(events->snapshot(0).size(), c.expected.size() + stopped);
  }
}

TEST_F(MicrophoneStrategyTest, RevocationIsSeenWithinTwoSeconds) {
  auto mic = start();
  take();
  play(1);
  auth->word = "denied";
  queue->advance(2s);
  EXPECT_EQ(take(), (std::vector<Event>{
                        {"permission_revoked", {{"kind", "microphone"}}},
                        {"track_stopped", {{"track", "mic"}, {"reason", "permission_revoked"}}}}));
  EXPECT_EQ(sink->splits(), 1);
  EXPECT_FALSE(io->running);
  notify(ChangeKind::deviceList);
  queue->advance(10s);
  mic->stop();
  EXPECT_TRUE(take().empty());
}

} // namespace
} // namespace va
