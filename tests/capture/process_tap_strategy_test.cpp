#include "capture/process_tap_strategy.h"
#include "core/serial_queue.h"
#include "fakes/fake_platform.h"
#include "fakes/manual_time.h"
#include "support/eventually.h"

#include <atomic>
#include <thread>

namespace va {
namespace {

using namespace std::chrono_literals;
using testing_support::Events;
using Sets = std::vector<std::vector<uint32_t>>;

AudioProcessInfo app(uint32_t id, int32_t pid, bool playing, std::string bundle = "com.example.a") {
  return {id, pid, std::move(bundle), playing, false};
}

Json processFields(const AudioProcessInfo& p, const Json& more = Json::object()) {
  Json fields = {{"pid", p.pid},
                 {"bundleId", p.bundleID},
                 {"runningOutput", p.runningOutput},
                 {"runningInput", p.runningInput}};
  fields.update(more);
  return fields;
}
Events armed(const AudioProcessInfo& p, const std::string& trigger, double deferredMs,
             double ioSeenAfterMs, double settledMs, bool atStart) {
  return {{"tap_armed", processFields(p, {{"trigger", trigger},
                                          {"deferredMs", deferredMs},
                                          {"ioSeenAfterMs", ioSeenAfterMs},
                                          {"settledMs", settledMs},
                                          {"alreadyRunningAtStart", atStart}})}};
}
Events deferred(const AudioProcessInfo& p, const std::string& trigger) {
  return {{"tap_deferred", processFields(p, {{"trigger", trigger},
                                             {"waitingFor", "running_output or running_input"}})}};
}
Events operator+(Events first, const Events& then) {
  first.insert(first.end(), then.begin(), then.end());
  return first;
}

const ProcessMatch kMatch{{"com.example.a"}, {"com.example.prefix."}, true};
const Events kWaiting{{"app_waiting", {{"match", kMatch.json()}}}};
// What follows the arming that starts the tap: "app_started" and "track_started", or on a
// relaunch "app_relaunched" and the track resumed after `gapS`.
Events tapStarted(const std::vector<AudioProcessInfo>& apps, std::optional<double> gapS = {}) {
  Json app = {{"pid", apps.front().pid}, {"processes", Json::array()}};
  for (const AudioProcessInfo& p : apps)
    app["processes"].push_back(processFields(p));
  Json track = {{"track", "remote"}, {"strategy", "process-tap"}};
  if (gapS)
    track = {{"track", "remote"}, {"gapS", *gapS}};
  return {{"tap_format", {{"reason", "start"}}},
          {gapS ? "app_relaunched" : "app_started", app},
          {gapS ? "track_resumed" : "track_started", track}};
}

// The strategy over fake processes, tap and outputs, on the manual queue unless said otherwise;
// stopped at the end of every case.
class ProcessTapStrategyTest : public testing_support::ManualTimeTest {
protected:
  void TearDown() override { strategy->stop(); }
  void start(std::vector<AudioProcessInfo> apps, bool live = true, ProcessMatch match = kMatch) {
    processes->list = std::move(apps);
    strategy = std::make_shared<ProcessTapStrategy>(
        std::move(match),
        ProcessTapStrategy::Platform{processes, tap, outputs, notifier, &permissions}, live, clock,
        queue);
    EXPECT_TRUE(strategy->start(sink, events));
    queue->runUntilIdle();
  }
  // The apps listed from now on, announced as a new list; the events until `wait` has passed.
  Events list(std::vector<AudioProcessInfo> apps, std::chrono::milliseconds wait = 0ms) {
    processes->list = std::move(apps);
    notify(ChangeKind::processList);
    queue->advance(wait);
    return take();
  }
  // The one app listed from now on, announced as a change of its running state.
  Events runs(const AudioProcessInfo& app, std::chrono::milliseconds wait = 0ms) {
    processes->list = {app};
    notify(ChangeKind::processRunning, app.objectID);
    queue->advance(wait);
    return take();
  }

  std::shared_ptr<fakes::FakeProcesses> processes = std::make_shared<fakes::FakeProcesses>();
  std::shared_ptr<fakes::FakeTap> tap = std::make_shared<fakes::FakeTap>();
  std::shared_ptr<fakes::FakeOutputDevices> outputs = std::make_shared<fakes::FakeOutputDevices>();
  CapturePermissions permissions;
  std::shared_ptr<ProcessTapStrategy> strategy;
};

// Once armed, an app that falls silent stays tapped; a second app armed meanwhile, and either of
// them going, update the tap in place without a split; after the stop nothing is heard of again.
// (Audio reaching the sink is the threaded case's below.)
TEST_F(ProcessTapStrategyTest, AnAppPlayingAtStartIsTappedAtOnceAndUpdatedInPlaceUntilTheStop) {
  AudioProcessInfo player = app(7, 100, true);
  start({player});
  EXPECT_EQ(take(), armed(player, "initial", 0, 0, 0, true) + tapStarted({player}));
  const Json delivered{{"reason", "delivered_rate"}, {"deliveredRate", 48000.0}};
  tap->report(delivered);
  EXPECT_EQ(take(), (Events{{"tap_format", delivered}}));
  // Ending off the poll's grid, so that the settle observation is the one that arms next.
  EXPECT_TRUE(runs(app(7, 100, false), 10200ms).empty());

  AudioProcessInfo second = app(9, 200, true, "com.example.prefix.player");
  EXPECT_EQ(list({player, second}, 1050ms),
            deferred(second, "process_list") + armed(second, "settle", 1050, 0, 1050, false));
  EXPECT_EQ(tap->updates, (Sets{{7, 9}}));
  EXPECT_TRUE(list({second}).empty());
  EXPECT_EQ(tap->updates.back(), std::vector<uint32_t>{9});
  EXPECT_EQ(tap->starts, Sets{{7}});

  strategy->stop();
  strategy->stop();
  EXPECT_EQ(take(), (Events{{"track_stopped", {{"track", "remote"}}}}));
  EXPECT_FALSE(tap->running());
  EXPECT_EQ(tap->stops, 1);
  EXPECT_EQ(notifier->count(), 0u);
  EXPECT_TRUE(list({}, 10s).empty());
  EXPECT_EQ(sink->splits(), 0);
}

// Silent at start: playing for less than the settle time resets the arming. Playing again, it is
// armed by the settle observation 1.05 s after the listener saw it start, and its running-state
// listener goes.
TEST_F(ProcessTapStrategyTest, ASilentAppIsArmedOnceItHasPlayedForASecond) {
  AudioProcessInfo silent = app(7, 100, false), playing = app(7, 100, true);
  start({silent});
  EXPECT_EQ(take(), deferred(silent, "initial"));
  EXPECT_EQ(notifier->count(), 3u); // process list, default output, the app's running state
  EXPECT_TRUE(runs(playing, 400ms).empty());
  EXPECT_EQ(runs(silent, 5s),
            (Events{{"tap_arm_reset",
                     processFields(silent, {{"trigger", "listener"}, {"ranForMs", 400.0}})}}));
  EXPECT_EQ(runs(playing, 1050ms),
            armed(playing, "settle", 6450, 5400, 1050, false) + tapStarted({playing}));
  EXPECT_EQ(notifier->count(), 2u);
}

// The gap is measured up to the observation that arms the new process.
TEST_F(ProcessTapStrategyTest, TheOnlyAppQuitsAndComesBackAsANewProcess) {
  start({app(7, 100, true)});
  take();
  EXPECT_EQ(
      list({}, 2500ms),
      (Events{{"track_interrupted", {{"track", "remote"}, {"reason", "app_exited"}}}} + kWaiting));
  EXPECT_FALSE(tap->running());
  EXPECT_EQ(sink->splits(), 1);
  AudioProcessInfo again = app(12, 300, true);
  EXPECT_EQ(list({again}, 1050ms), deferred(again, "process_list") +
                                       armed(again, "settle", 1050, 0, 1050, false) +
                                       tapStarted({again}, 3.55));
  EXPECT_EQ(tap->starts, (Sets{{7}, {12}}));
}

TEST_F(ProcessTapStrategyTest, AFailedStartIsReportedOnceAndRetriedForANewSet) {
  tap->failWith = "no audio server can be reached";
  AudioProcessInfo first = app(7, 100, true);
  start({first}, true, ProcessMatch{{"com.example.a"}, {}, false});
  EXPECT_EQ(take(), (armed(first, "initial", 0, 0, 0, true) +
                     Events{{"failed",
                             {{"track", "remote"},
                              {"reason", "tap_failed"},
                              {"detail", "no audio server can be reached"}}}}));
  EXPECT_TRUE(permissions.refused());
  EXPECT_TRUE(list({first}, 10s).empty());
  EXPECT_EQ(tap->starts.size(), 1u);

  tap->failWith.reset();
  AudioProcessInfo second = app(8, 101, false);
  EXPECT_EQ(list({first, second}),
            armed(second, "process_list", 0, 0, 0, false) + tapStarted({first, second}));
  EXPECT_EQ(tap->starts.back(), (std::vector<uint32_t>{7, 8}));
}

// With no match at start it only waits; a default output change is reported, and once an app is
// tapped, the tap is kept through it.
TEST_F(ProcessTapStrategyTest, NoMatchWaitsAndADefaultOutputChangeKeepsTheTap) {
  outputs->device = {"speakers", "Speakers", 44100.0};
  start({app(1, 100, true, "com.example.other"), app(2, 101, true, "")});
  EXPECT_EQ(take(), kWaiting);
  EXPECT_TRUE(list(processes->list, 10s).empty());
  notify(ChangeKind::defaultOutput);
  const Events changed{
      {"default_output_changed",
       {{"device", {{"uid", "speakers"}, {"name", "Speakers"}, {"nominalSampleRate", 44100.0}}}}}};
  EXPECT_EQ(take(), changed);
  list({app(7, 100, true)}, 1050ms);
  ASSERT_TRUE(tap->running());
  notify(ChangeKind::defaultOutput);
  EXPECT_EQ(take(), (changed + Events{{"tap_kept", {{"reason", "default_output_changed"}}}}));
  EXPECT_EQ(tap->starts.size(), 1u);
  EXPECT_EQ(tap->stops, 0);

  outputs->device = {};
  notify(ChangeKind::defaultOutput);
  EXPECT_EQ(take().front().fields["device"],
            (Json{{"uid", nullptr}, {"name", nullptr}, {"nominalSampleRate", nullptr}}));
}

TEST_F(ProcessTapStrategyTest, WithoutLiveListenersItObservesOnlyAtStart) {
  start({app(7, 100, false)}, false);
  EXPECT_EQ(take().size(), 1u);
  EXPECT_EQ(notifier->count(), 0u);
  processes->list = {app(7, 100, true)};
  queue->advance(10s);
  EXPECT_TRUE(take().empty());
  EXPECT_EQ(processes->reads, 1);
}

// On its real queue, with audio, format reports and notifications arriving from other threads
// while the apps come and go and the capture stops.
TEST_F(ProcessTapStrategyTest, ChurnAndAudioFromOtherThreadsThenStop) {
  const AudioProcessInfo a = app(1, 100, true), b = app(2, 200, false, "com.example.b");
  processes->list = {a};
  auto monotonic = std::make_shared<MonotonicClock>();
  strategy = std::make_shared<ProcessTapStrategy>(
      ProcessMatch{{"com.example.a", "com.example.b"}, {}, false},
      ProcessTapStrategy::Platform{processes, tap, outputs, notifier, &permissions}, true,
      monotonic, std::make_shared<SerialQueue>("velmorrant-audio.tap"));
  ASSERT_TRUE(strategy->start(sink, events));
  std::atomic<bool> done{false};
  std::thread audio([&] {
    while (!done.load()) {
      tap->deliver(160, 16000, static_cast<uint64_t>(monotonic->nowNs()));
      tap->report({{"reason", "delivered_rate"}});
      std::this_thread::yield();
    }
  });
  // Audio has reached the sink before the churn can take the tap away.
  ASSERT_TRUE(testing_support::eventually([&] { return !sink->blocks().empty(); }));
  const std::vector<std::vector<AudioProcessInfo>> sets = {{a, b}, {b}, {}, {a}};
  for (int round = 0; round < 200; ++round) {
    {
      std::lock_guard lock(processes->mutex);
      processes->list = sets[static_cast<size_t>(round) % sets.size()];
    }
    notifier->notify({ChangeKind::processList});
    notifier->notify({ChangeKind::processRunning, 2});
    notifier->notify({ChangeKind::defaultOutput});
  }
  strategy->stop();
  done = true;
  audio.join();
  std::vector<CaptureEvent> log = events->snapshot(0);
  ASSERT_EQ(std::ranges::count(log, "track_stopped", &CaptureEvent::type), 1);
  EXPECT_EQ(log.back().type, "track_stopped");
  EXPECT_FALSE(tap->running());
}

} // namespace
} // namespace va
