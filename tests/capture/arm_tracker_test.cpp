#include "capture/arm_tracker.h"

#include <algorithm>
#include <charconv>
#include <gtest/gtest.h>
#include <set>
#include <string>
#include <variant>
#include <vector>

namespace va {
namespace {

// Far from zero, so a duration taken from an absolute time shows.
constexpr uint64_t kT0 = 50'000'000'000;
constexpr uint64_t at(uint64_t ms, uint64_t ns = 0) {
  return kT0 + ms * 1'000'000 + ns;
}

enum class Io { Silent, Plays, Records };
struct Seen {
  uint32_t id;
  Io io = Io::Silent;
};

AudioProcessInfo info(Seen s) {
  return {s.id, static_cast<int32_t>(s.id * 10), "app." + std::to_string(s.id), s.io == Io::Plays,
          s.io == Io::Records};
}

// The shortest form that reads back exactly, so an unrounded duration shows.
std::string ms(double value) {
  char buf[32];
  return std::string(buf, std::to_chars(buf, buf + sizeof buf, value).ptr);
}

std::string render(const ArmTracker::Event& event) {
  if (const auto* d = std::get_if<ArmTracker::Deferred>(&event))
    return "deferred " + std::to_string(d->process.objectID);
  if (const auto* r = std::get_if<ArmTracker::Reset>(&event))
    return "reset " + std::to_string(r->process.objectID) + " " + ms(r->ranForMs);
  const auto& a = std::get<ArmTracker::Armed>(event);
  return "armed " + std::to_string(a.process.objectID) + " " + ms(a.deferredMs) + " " +
         ms(a.ioSeenAfterMs) + " " + ms(a.settledMs) + (a.alreadyRunning ? " running" : "");
}

struct Step {
  uint64_t nowNs;
  std::vector<Seen> seen;
  std::vector<std::string> events;
  std::set<uint32_t> armed;
  bool settling = false;
  bool initial = false;
};

struct Scenario {
  const char* name;
  bool deferUntilIO;
  std::vector<Step> steps;
};

const std::vector<Scenario> kScenarios = {
    // Without deferral every process is armed when first seen, in list order, as already running
    // only on the initial observation; its running state plays no part.
    {"WithoutDeferralAllArmAtOnceInListOrder",
     false,
     {{at(0),
       {{3}, {1, Io::Plays}, {2, Io::Records}},
       {"armed 3 0 0 0 running", "armed 1 0 0 0 running", "armed 2 0 0 0 running"},
       {1, 2, 3},
       false,
       true},
      {at(5), {{3, Io::Plays}, {4}, {2}}, {"armed 4 0 0 0"}, {2, 3, 4}}}},
    {"ArmsAfterOneSecondOfUnbrokenIO",
     true,
     {{at(0), {{7}}, {"deferred 7"}, {}},
      {at(2000), {{7, Io::Plays}}, {}, {}, true},
      {at(2500), {{7, Io::Plays}}, {}, {}, true},
      {at(3000) - 1, {{7, Io::Plays}}, {}, {}, true},
      {at(3000), {{7, Io::Plays}}, {"armed 7 3000 2000 1000"}, {7}},
      // Once armed, stopping changes nothing.
      {at(4000), {{7}}, {}, {7}},
      {at(6000), {{7, Io::Records}}, {}, {7}}}},
    {"APauseRestartsTheSettleTime",
     true,
     {{at(0), {{7}}, {"deferred 7"}, {}},
      {at(2000), {{7, Io::Plays}}, {}, {}, true},
      {at(2400), {{7}}, {"reset 7 400"}, {}},
      {at(2600), {{7}}, {}, {}},
      {at(3000), {{7, Io::Records}}, {}, {}, true},
      {at(3999, 900'000), {{7, Io::Plays}}, {}, {}, true},
      {at(4000), {{7, Io::Plays}}, {"armed 7 4000 3000 1000"}, {7}}}},
    {"RunningWhenFirstSeenLaterIsDeferredAndSettles",
     true,
     {{at(0), {{7, Io::Plays}}, {"deferred 7"}, {}, true},
      {at(333, 330'000), {{7}}, {"reset 7 333.3"}, {}},
      {at(500), {{7, Io::Plays}}, {}, {}, true},
      {at(1500, 50'000), {{7, Io::Plays}}, {"armed 7 1500.1 500 1000.1"}, {7}}}},
    {"LeavingTheListStartsOver",
     true,
     {{at(0),
       {{1, Io::Plays}, {2, Io::Plays}},
       {"armed 1 0 0 0 running", "armed 2 0 0 0 running"},
       {1, 2},
       false,
       true},
      {at(100), {{2}, {3}}, {"deferred 3"}, {2}},
      {at(200), {{3, Io::Plays}}, {}, {}, true},
      {at(300), {{1, Io::Plays}, {2, Io::Plays}}, {"deferred 1", "deferred 2"}, {}, true},
      {at(1300),
       {{2, Io::Plays}, {1, Io::Plays}},
       {"armed 2 1000 0 1000", "armed 1 1000 0 1000"},
       {1, 2}}}},
    {"AnEmptyListForgetsEverything",
     true,
     {{at(0), {{1, Io::Plays}, {2, Io::Plays}}, {"deferred 1", "deferred 2"}, {}, true},
      {at(1000), {{1, Io::Plays}, {2}}, {"armed 1 1000 0 1000", "reset 2 1000"}, {1}},
      {at(1100), {{1}, {2, Io::Plays}}, {}, {1}, true},
      {at(1200), {}, {}, {}},
      {at(1700), {{1, Io::Plays}, {2, Io::Plays}}, {"deferred 1", "deferred 2"}, {}, true},
      {at(2700),
       {{1, Io::Plays}, {2, Io::Plays}},
       {"armed 1 1000 0 1000", "armed 2 1000 0 1000"},
       {1, 2}}}},
};

class ArmTrackerScenario : public testing::TestWithParam<Scenario> {};

TEST_P(ArmTrackerScenario, EmitsTheExpectedEvents) {
  const Scenario& scenario = GetParam();
  ArmTracker tracker;
  for (size_t i = 0; i < scenario.steps.size(); ++i) {
    const Step& step = scenario.steps[i];
    SCOPED_TRACE("step " + std::to_string(i));
    std::vector<AudioProcessInfo> matching;
    for (Seen s : step.seen)
      matching.push_back(info(s));
    std::vector<std::string> rendered;
    for (const auto& event :
         tracker.observe(matching, step.nowNs, step.initial, scenario.deferUntilIO)) {
      rendered.push_back(render(event));
      // Events carry the process as observed this time, flags included.
      std::visit(
          [&](const auto& e) { EXPECT_NE(std::ranges::find(matching, e.process), matching.end()); },
          event);
    }
    EXPECT_EQ(rendered, step.events);
    EXPECT_EQ(tracker.armed(), step.armed);
    EXPECT_EQ(tracker.settling(), step.settling);
  }
}

INSTANTIATE_TEST_SUITE_P(ArmTracker, ArmTrackerScenario, testing::ValuesIn(kScenarios),
                         [](const auto& p) { return std::string(p.param.name); });

TEST(RoundedMsTest, KeepsOneDecimalRoundingHalvesUp) {
  const std::pair<uint64_t, double> cases[] = {{0, 0.0},
                                               {49'999, 0.0},
                                               {50'000, 0.1},
                                               {1'234'567, 1.2},
                                               {1'249'999, 1.2},
                                               {1'250'000, 1.3},
                                               {999'949'999, 999.9},
                                               {999'950'000, 1000.0},
                                               {3'600'000'000'000, 3'600'000.0}};
  for (auto [ns, ms] : cases)
    EXPECT_EQ(roundedMs(ns), ms) << ns;
}

} // namespace
} // namespace va
