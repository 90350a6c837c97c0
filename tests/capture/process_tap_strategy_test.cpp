#include "capture/event_log.h"
#include "capture/process_tap_strategy.h"
#include "core/manual_queue.h"
#include "fakes/fake_platform.h"
#include "fakes/logged_events.h"
#include "fakes/recording_sink.h"

#include <gtest/gtest.h>

namespace va {
namespace {

using namespace std::chrono_literals;
constexpr int64_t kS = 1'000'000'000;

using Event = testing_support::LoggedEvent;

AudioProcessInfo app(uint32_t id, int32_t pid, bool playing, std::string bundle = "com.example.a") {
  return {id, pid, std::move(bundle), playing, false};
}

Json processFields(const AudioProcessInfo& p) {
  return {{"pid", p.pid},
          {"bundleId", p.bundleID},
          {"runningOutput", p.runningOutput},
          {"runningInput", p.runningInput}};
}
Json withFields(Json base, const Json& more) {
  base.update(more);
  return base;
}
Event armedEvent(const AudioProcessInfo& p, const std::string& trigger, double deferredMs,
                 double ioSeenAfterMs, double settledMs, bool atStart) {
  return {"tap_armed", withFields(processFields(p), {{"trigger", trigger},
                                                     {"deferredMs", deferredMs},
                                                     {"ioSeenAfterMs", ioSeenAfterMs},
                                                     {"settledMs", settledMs},
                                                     {"alreadyRunningAtStart", atStart}})};
}
Event deferredEvent(const AudioProcessInfo& p, const std::string& trigger) {
  return {"tap_deferred",
          withFields(processFields(p),
                     {{"trigger", trigger}, {"waitingFor", "running_output or running_input"}})};
}
Json appFields(const std::vector<AudioProcessInfo>& armed) {
  Json list = Json::array();
  for (const AudioProcessInfo& p : armed)
    list.push_back(processFields(p));
  return {{"pid", armed.front().pid}, {"processes", list}};
}

const ProcessMatch kMatch{{"com.example.a"}, {"com.example.prefix."}, true};
const Event kWaiting{"app_waiting", {{"match", kMatch.json()}}};
const Event kStartFormat{"tap_format", {{"reason", "start"}}};

// The strategy over fake processes, tap and outputs, in virtual time.
class ProcessTapStrategyTest : public ::testing::Test {
protected:
  std::shared_ptr<ProcessTapStrategy> start(bool live = true, ProcessMatch match = kMatch) {
    auto strategy = std::make_shared<ProcessTapStrategy>(
        std::move(match),
        ProcessTapStrategy::Platform{processes, tap, outputs, notifier, &permissions}, live, clock,
        queue);
    EXPECT_TRUE(strategy->start(sink, events));
    queue->runUntilIdle();
    return strategy;
  }
  // Events appended since the last call.
  std::vector<Event> take() { return reader_.take(); }
  void setProcesses(std::vector<AudioProcessInfo> list) {
    std::lock_guard lock(processes->mutex);
    processes->list = std::move(list);
  }
  void notify(ChangeKind kind, uint32_t object = 0) {
    notifier->notify({kind, object});
    queue->runUntilIdle();
  }

  std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>(1000 * kS);
  std::shared_ptr<ManualQueue> queue = std::make_shared<ManualQueue>(clock);
  std::shared_ptr<fakes::FakeProcesses> processes = std::make_shared<fakes::FakeProcesses>();
  std::shared_ptr<fakes::FakeTap> tap = std::make_shared<fakes::FakeTap>();
  std::shared_ptr<fakes::FakeOutputDevices> outputs = std::make_shared<fakes::FakeOutputDevices>();
  std::shared_ptr<ListenerRegistry> notifier = std::make_shared<ListenerRegistry>();
  CapturePermissions permissions;
  std::shared_ptr<testing_support::RecordingSink> sink =
      std::make_shared<testing_support::RecordingSink>(clock);
  std::shared_ptr<EventLog> events = std::make_shared<EventLog>(clock);

private:
  testing_support::EventReader reader_{events};
};

TEST_F(ProcessTapStrategyTest, NoMatchAtStartOnlyWaits) {
  setProcesses({app(1, 100, true, "com.example.other"), app(2, 101, true, "")});
  auto strategy = start();
  EXPECT_EQ(take(), std::vector<Event>{kWaiting});
  queue->advance(10s);
  notify(ChangeKind::processList);
  EXPECT_TRUE(take().empty());
  EXPECT_TRUE(tap->starts.empty());
  strategy->stop();
}

TEST_F(ProcessTapStrategyTest, AnAppPlayingAtStartIsTappedAtOnce) {
  AudioProcessInfo player = app(7, 100, true);
  setProcesses({player});
  auto strategy = start();
  EXPECT_EQ(take(), (std::vector<Event>{
                        armedEvent(player, "initial", 0, 0, 0, true),
                        kStartFormat,
                        {"app_started", appFields({player})},
                        {"track_started", {{"track", "remote"}, {"strategy", "process-tap"}}}}));
  EXPECT_EQ(tap->starts, (std::vector<std::vector<uint32_t>>{{7}}));
  tap->deliver(480, 48000, 5);
  ASSERT_EQ(sink->blockCount(), 1u);
  EXPECT_EQ(sink->blocks()[0].rateHz, 48000);
  tap->report({{"reason", "delivered_rate"}, {"deliveredRate", 48000.0}});
  EXPECT_EQ(take(),
            (std::vector<Event>{
                {"tap_format", {{"reason", "delivered_rate"}, {"deliveredRate", 48000.0}}}}));
  strategy->stop();
  EXPECT_EQ(take(), (std::vector<Event>{{"track_stopped", {{"track", "remote"}}}}));
}

// Silent at start, plays half a second later: the listener starts the settle time and the
// settle observation 1.05 s later arms it. Its listener goes once it is armed.
TEST_F(ProcessTapStrategyTest, ASilentAppIsArmedOnceItHasPlayedForASecond) {
  AudioProcessInfo player = app(7, 100, false);
  setProcesses({player});
  auto strategy = start();
  EXPECT_EQ(take(), std::vector<Event>{deferredEvent(player, "initial")});
  EXPECT_EQ(notifier->count(), 3u); // process list, default output, the app's running state
  queue->advance(500ms);
  player.runningOutput = true;
  setProcesses({player});
  notify(ChangeKind::processRunning, 7);
  EXPECT_TRUE(take().empty());
  queue->advance(1050ms);
  EXPECT_EQ(take(), (std::vector<Event>{
                        armedEvent(player, "settle", 1550, 500, 1050, false),
                        kStartFormat,
                        {"app_started", appFields({player})},
                        {"track_started", {{"track", "remote"}, {"strategy", "process-tap"}}}}));
  EXPECT_EQ(notifier->count(), 2u);
  strategy->stop();
}

// Playing for less than the settle time resets the arming; the poll then finds it settled.
TEST_F(ProcessTapStrategyTest, ABriefSoundResetsTheArming) {
  AudioProcessInfo player = app(7, 100, false);
  setProcesses({player});
  auto strategy = start();
  take();
  player.runningOutput = true;
  setProcesses({player});
  notify(ChangeKind::processRunning, 7);
  queue->advance(400ms);
  player.runningOutput = false;
  setProcesses({player});
  notify(ChangeKind::processRunning, 7);
  EXPECT_EQ(take(), (std::vector<Event>{{"tap_arm_reset", withFields(processFields(player),
                                                                     {{"trigger", "listener"},
                                                                      {"ranForMs", 400.0}})}}));
  queue->advance(5s);
  EXPECT_TRUE(take().empty());
  EXPECT_TRUE(tap->starts.empty());
  strategy->stop();
}

TEST_F(ProcessTapStrategyTest, AnArmedAppThatFallsSilentStaysTapped) {
  AudioProcessInfo player = app(7, 100, true);
  setProcesses({player});
  auto strategy = start();
  take();
  player.runningOutput = false;
  setProcesses({player});
  notify(ChangeKind::processRunning, 7);
  queue->advance(10s);
  EXPECT_TRUE(take().empty());
  EXPECT_TRUE(tap->running());
  EXPECT_EQ(tap->stops, 0);
  EXPECT_TRUE(tap->updates.empty());
  strategy->stop();
}

TEST_F(ProcessTapStrategyTest, ASecondAppArmedWhileTappingUpdatesTheTapInPlace) {
  AudioProcessInfo first = app(7, 100, true);
  setProcesses({first});
  auto strategy = start();
  take();
  queue->advance(200ms); // off the poll's grid, so the settle observation is the one that arms
  AudioProcessInfo second = app(9, 200, true, "com.example.prefix.player");
  setProcesses({first, second});
  notify(ChangeKind::processList);
  queue->advance(1050ms);
  EXPECT_EQ(take(), (std::vector<Event>{deferredEvent(second, "process_list"),
                                        armedEvent(second, "settle", 1050, 0, 1050, false)}));
  EXPECT_EQ(tap->starts.size(), 1u);
  EXPECT_EQ(tap->updates, (std::vector<std::vector<uint32_t>>{{7, 9}}));
  // One of two going is an update too, with no event.
  setProcesses({second});
  notify(ChangeKind::processList);
  EXPECT_TRUE(take().empty());
  EXPECT_EQ(tap->updates.back(), std::vector<uint32_t>{9});
  EXPECT_EQ(sink->splits(), 0);
  strategy->stop();
}

TEST_F(ProcessTapStrategyTest, TheOnlyAppQuitsAndComesBackAsANewProcess) {
  AudioProcessInfo player = app(7, 100, true);
  setProcesses({player});
  auto strategy = start();
  take();
  setProcesses({});
  notify(ChangeKind::processList);
  EXPECT_EQ(take(),
            (std::vector<Event>{
                {"track_interrupted", {{"track", "remote"}, {"reason", "app_exited"}}}, kWaiting}));
  EXPECT_FALSE(tap->running());
  EXPECT_EQ(sink->splits(), 1);

  queue->advance(2500ms);
  AudioProcessInfo again = app(12, 300, true);
  setProcesses({again});
  notify(ChangeKind::processList);
  queue->advance(1050ms);
  EXPECT_EQ(take(), (std::vector<Event>{deferredEvent(again, "process_list"),
                                        armedEvent(again, "settle", 1050, 0, 1050, false),
                                        kStartFormat,
                                        {"app_relaunched", appFields({again})},
                                        {"track_resumed", {{"track", "remote"}, {"gapS", 3.55}}}}));
  EXPECT_EQ(tap->starts, (std::vector<std::vector<uint32_t>>{{7}, {12}}));
  strategy->stop();
}

TEST_F(ProcessTapStrategyTest, AFailedStartIsReportedOnceAndRetriedForANewSet) {
  tap->failWith = "no audio server can be reached";
  AudioProcessInfo first = app(7, 100, true);
  setProcesses({first});
  auto strategy = start(true, ProcessMatch{{"com.example.a"}, {}, false});
  EXPECT_EQ(take(), (std::vector<Event>{armedEvent(first, "initial", 0, 0, 0, true),
                                        {"failed",
                                         {{"track", "remote"},
                                          {"reason", "tap_failed"},
                                          {"detail", "no audio server can be reached"}}}}));
  EXPECT_TRUE(permissions.refused());
  queue->advance(10s);
  notify(ChangeKind::processList);
  EXPECT_TRUE(take().empty());
  EXPECT_EQ(tap->starts.size(), 1u);

  tap->failWith.reset();
  AudioProcessInfo second = app(8, 101, false);
  setProcesses({first, second});
  notify(ChangeKind::processList);
  EXPECT_EQ(take(), (std::vector<Event>{
                        armedEvent(second, "process_list", 0, 0, 0, false),
                        kStartFormat,
                        {"app_started", appFields({first, second})},
                        {"track_started", {{"track", "remote"}, {"strategy", "process-tap"}}}}));
  EXPECT_EQ(tap->starts.back(), (std::vector<uint32_t>{7, 8}));
  strategy->stop();
}

TEST_F(ProcessTapStrategyTest, ADefaultOutputChangeIsReportedAndTheTapKept) {
  outputs->device = {"speakers", "Speakers", 44100.0};
  auto strategy = start();
  take();
  notify(ChangeKind::defaultOutput);
  const Event changed{
      "default_output_changed",
      {{"device", {{"uid", "speakers"}, {"name", "Speakers"}, {"nominalSampleRate", 44100.0}}}}};
  EXPECT_EQ(take(), std::vector<Event>{changed});

  setProcesses({app(7, 100, true)});
  notify(ChangeKind::processList);
  queue->advance(1050ms);
  take();
  ASSERT_TRUE(tap->running());
  notify(ChangeKind::defaultOutput);
  EXPECT_EQ(take(),
            (std::vector<Event>{changed, {"tap_kept", {{"reason", "default_output_changed"}}}}));
  EXPECT_EQ(tap->starts.size(), 1u);
  EXPECT_EQ(tap->stops, 0);

  outputs->device = {};
  notify(ChangeKind::defaultOutput);
  EXPECT_EQ(take().front().fields["device"],
            (Json{{"uid", nullptr}, {"name", nullptr}, {"nominalSampleRate", nullptr}}));
  strategy->stop();
}

TEST_F(ProcessTapStrategyTest, StopTwiceLogsOneStopAndSilencesEverything) {
  setProcesses({app(7, 100, true)});
  auto strategy = start();
  take();
  strategy->stop();
  strategy->stop();
  EXPECT_EQ(take(), (std::vector<Event>{{"track_stopped", {{"track", "remote"}}}}));
  EXPECT_FALSE(tap->running());
  EXPECT_EQ(notifier->count(), 0u);
  setProcesses({});
  notify(ChangeKind::processList);
  queue->advance(10s);
  EXPECT_TRUE(take().empty());
  EXPECT_EQ(sink->splits(), 0);
}

TEST_F(ProcessTapStrategyTest, WithoutLiveListenersItObservesOnlyAtStart) {
  setProcesses({app(7, 100, false)});
  auto strategy = start(false);
  EXPECT_EQ(take().size(), 1u);
  EXPECT_EQ(notifier->count(), 0u);
  setProcesses({app(7, 100, true)});
  queue->advance(10s);
  EXPECT_TRUE(take().empty());
  EXPECT_EQ(processes->reads, 1);
  strategy->stop();
}

} // namespace
} // namespace va
