#include "capture/process_tap_strategy.h"
#include "fakes/fake_platform.h"
#include "fakes/manual_time.h"

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
Json appFields(const std::vector<AudioProcessInfo>& apps) {
  Json list = Json::array();
  for (const AudioProcessInfo& p : apps)
    list.push_back(processFields(p));
  return {{"pid", apps.front().pid}, {"processes", list}};
}
Events operator+(Events first, const Events& then) {
  first.insert(first.end(), then.begin(), then.end());
  return first;
}

const ProcessMatch kMatch{{"com.example.a"}, {"com.example.prefix."}, true};
const Events kWaiting{{"app_waiting", {{"match", kMatch.json()}}}};
const testing_support::LoggedEvent kStartFormat{"tap_format", {{"reason", "start"}}};
// What follows the arming that starts the tap.
Events tapStarted(const std::vector<AudioProcessInfo>& apps) {
  return {kStartFormat,
          {"app_started", appFields(apps)},
          {"track_started", {{"track", "remote"}, {"strategy", "process-tap"}}}};
}

// The strategy over fake processes, tap and outputs. The list of processes is set directly:
// everything runs on the test's thread.
class ProcessTapStrategyTest : public testing_support::ManualTimeTest {
protected:
  ProcessTapStrategyTest() : ManualTimeTest("remote") {}

  std::shared_ptr<ProcessTapStrategy> start(bool live = true, ProcessMatch match = kMatch) {
    auto strategy = std::make_shared<ProcessTapStrategy>(
        std::move(match),
        ProcessTapStrategy::Platform{processes, tap, outputs, notifier, &permissions}, live, clock,
        queue);
    EXPECT_TRUE(strategy->start(sink, events));
    queue->runUntilIdle();
    return strategy;
  }
  // The apps listed from now on, announced by `kind`.
  void list(std::vector<AudioProcessInfo> apps, ChangeKind kind = ChangeKind::processList,
            uint32_t object = 0) {
    processes->list = std::move(apps);
    notify(kind, object);
  }

  std::shared_ptr<fakes::FakeProcesses> processes = std::make_shared<fakes::FakeProcesses>();
  std::shared_ptr<fakes::FakeTap> tap = std::make_shared<fakes::FakeTap>();
  std::shared_ptr<fakes::FakeOutputDevices> outputs = std::make_shared<fakes::FakeOutputDevices>();
  CapturePermissions permissions;
};

TEST_F(ProcessTapStrategyTest, NoMatchAtStartOnlyWaits) {
  processes->list = {app(1, 100, true, "com.example.other"), app(2, 101, true, "")};
  auto strategy = start();
  EXPECT_EQ(take(), kWaiting);
  queue->advance(10s);
  notify(ChangeKind::processList);
  EXPECT_TRUE(take().empty());
  EXPECT_TRUE(tap->starts.empty());
  strategy->stop();
}

// Once armed, an app that falls silent stays tapped; after the stop nothing is heard of again.
TEST_F(ProcessTapStrategyTest, AnAppPlayingAtStartIsTappedAtOnceAndKeptUntilTheStop) {
  AudioProcessInfo player = app(7, 100, true);
  processes->list = {player};
  auto strategy = start();
  EXPECT_EQ(take(), armed(player, "initial", 0, 0, 0, true) + tapStarted({player}));
  EXPECT_EQ(tap->starts, Sets{{7}});
  tap->deliver(480, 48000, 5);
  ASSERT_EQ(sink->blocks().size(), 1u);
  EXPECT_EQ(sink->blocks()[0].rateHz, 48000);
  const Json delivered{{"reason", "delivered_rate"}, {"deliveredRate", 48000.0}};
  tap->report(delivered);
  EXPECT_EQ(take(), (Events{{"tap_format", delivered}}));

  list({app(7, 100, false)}, ChangeKind::processRunning, 7);
  queue->advance(10s);
  EXPECT_TRUE(take().empty());
  EXPECT_TRUE(tap->running());
  EXPECT_TRUE(tap->updates.empty());

  strategy->stop();
  strategy->stop();
  EXPECT_EQ(take(), (Events{{"track_stopped", {{"track", "remote"}}}}));
  EXPECT_FALSE(tap->running());
  EXPECT_EQ(tap->stops, 1);
  EXPECT_EQ(notifier->count(), 0u);
  list({});
  queue->advance(10s);
  EXPECT_TRUE(take().empty());
  EXPECT_EQ(sink->splits(), 0);
}

// Silent at start: playing for less than the settle time resets the arming. Playing again, it is
// armed by the settle observation 1.05 s after the listener saw it start, and its running-state
// listener goes.
TEST_F(ProcessTapStrategyTest, ASilentAppIsArmedOnceItHasPlayedForASecond) {
  AudioProcessInfo silent = app(7, 100, false), playing = app(7, 100, true);
  processes->list = {silent};
  auto strategy = start();
  EXPECT_EQ(take(), deferred(silent, "initial"));
  EXPECT_EQ(notifier->count(), 3u); // process list, default output, the app's running state
  list({playing}, ChangeKind::processRunning, 7);
  queue->advance(400ms);
  list({silent}, ChangeKind::processRunning, 7);
  EXPECT_EQ(take(), (Events{{"tap_arm_reset", processFields(silent, {{"trigger", "listener"},
                                                                     {"ranForMs", 400.0}})}}));
  queue->advance(5s);
  EXPECT_TRUE(take().empty());
  EXPECT_TRUE(tap->starts.empty());

  list({playing}, ChangeKind::processRunning, 7);
  queue->advance(1050ms);
  EXPECT_EQ(take(), armed(playing, "settle", 6450, 5400, 1050, false) + tapStarted({playing}));
  EXPECT_EQ(notifier->count(), 2u);
  strategy->stop();
}

TEST_F(ProcessTapStrategyTest, ASecondAppArmedWhileTappingUpdatesTheTapInPlace) {
  AudioProcessInfo first = app(7, 100, true);
  processes->list = {first};
  auto strategy = start();
  take();
  queue->advance(200ms); // off the poll's grid, so the settle observation is the one that arms
  AudioProcessInfo second = app(9, 200, true, "com.example.prefix.player");
  list({first, second});
  queue->advance(1050ms);
  EXPECT_EQ(take(),
            deferred(second, "process_list") + armed(second, "settle", 1050, 0, 1050, false));
  EXPECT_EQ(tap->starts.size(), 1u);
  EXPECT_EQ(tap->updates, (Sets{{7, 9}}));
  // One of two going is an update too, with no event.
  list({second});
  EXPECT_TRUE(take().empty());
  EXPECT_EQ(tap->updates.back(), std::vector<uint32_t>{9});
  EXPECT_EQ(sink->splits(), 0);
  strategy->stop();
}

// The gap is measured up to the observation that arms the new process.
TEST_F(ProcessTapStrategyTest, TheOnlyAppQuitsAndComesBackAsANewProcess) {
  processes->list = {app(7, 100, true)};
  auto strategy = start();
  take();
  list({});
  EXPECT_EQ(
      take(),
      (Events{{"track_interrupted", {{"track", "remote"}, {"reason", "app_exited"}}}} + kWaiting));
  EXPECT_FALSE(tap->running());
  EXPECT_EQ(sink->splits(), 1);

  queue->advance(2500ms);
  AudioProcessInfo again = app(12, 300, true);
  list({again});
  queue->advance(1050ms);
  EXPECT_EQ(take(),
            (deferred(again, "process_list") + armed(again, "settle", 1050, 0, 1050, false) +
             Events{kStartFormat,
                    {"app_relaunched", appFields({again})},
                    {"track_resumed", {{"track", "remote"}, {"gapS", 3.55}}}}));
  EXPECT_EQ(tap->starts, (Sets{{7}, {12}}));
  strategy->stop();
}

TEST_F(ProcessTapStrategyTest, AFailedStartIsReportedOnceAndRetriedForANewSet) {
  tap->failWith = "no audio server can be reached";
  AudioProcessInfo first = app(7, 100, true);
  processes->list = {first};
  auto strategy = start(true, ProcessMatch{{"com.example.a"}, {}, false});
  EXPECT_EQ(take(), (armed(first, "initial", 0, 0, 0, true) +
                     Events{{"failed",
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
  list({first, second});
  EXPECT_EQ(take(), armed(second, "process_list", 0, 0, 0, false) + tapStarted({first, second}));
  EXPECT_EQ(tap->starts.back(), (std::vector<uint32_t>{7, 8}));
  strategy->stop();
}

TEST_F(ProcessTapStrategyTest, ADefaultOutputChangeIsReportedAndTheTapKept) {
  outputs->device = {"speakers", "Speakers", 44100.0};
  auto strategy = start();
  take();
  notify(ChangeKind::defaultOutput);
  const Events changed{
      {"default_output_changed",
       {{"device", {{"uid", "speakers"}, {"name", "Speakers"}, {"nominalSampleRate", 44100.0}}}}}};
  EXPECT_EQ(take(), changed);

  list({app(7, 100, true)});
  queue->advance(1050ms);
  take();
  ASSERT_TRUE(tap->running());
  notify(ChangeKind::defaultOutput);
  EXPECT_EQ(take(), (changed + Events{{"tap_kept", {{"reason", "default_output_changed"}}}}));
  EXPECT_EQ(tap->starts.size(), 1u);
  EXPECT_EQ(tap->stops, 0);

  outputs->device = {};
  notify(ChangeKind::defaultOutput);
  EXPECT_EQ(take().front().fields["device"],
            (Json{{"uid", nullptr}, {"name", nullptr}, {"nominalSampleRate", nullptr}}));
  strategy->stop();
}

TEST_F(ProcessTapStrategyTest, WithoutLiveListenersItObservesOnlyAtStart) {
  processes->list = {app(7, 100, false)};
  auto strategy = start(false);
  EXPECT_EQ(take().size(), 1u);
  EXPECT_EQ(notifier->count(), 0u);
  processes->list = {app(7, 100, true)};
  queue->advance(10s);
  EXPECT_TRUE(take().empty());
  EXPECT_EQ(processes->reads, 1);
  strategy->stop();
}

} // namespace
} // namespace va
