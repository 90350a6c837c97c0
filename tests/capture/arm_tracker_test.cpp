#include "capture/arm_tracker.h"
#include "capture/process_match.h"

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
      // 3 played from 200 until it left: back, its deferral and running time start again.
      {at(1300),
       {{2, Io::Plays}, {1, Io::Plays}, {3, Io::Plays}},
       {"armed 2 1000 0 1000", "armed 1 1000 0 1000", "deferred 3"},
       {1, 2},
       true}}},
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

using Ids = std::vector<std::string>;

TEST(ProcessMatchTest, ParsesOnlyAValidMatch) {
  const std::tuple<const char*, const char*, std::optional<ProcessMatch>> cases[] = {
      {"not an object", R"(["com.a"])", std::nullopt},
      {"a string", R"("com.a")", std::nullopt},
      {"no keys", R"({})", std::nullopt},
      {"only unknown keys", R"({"pids":[1]})", std::nullopt},
      {"ids missing beside prefixes", R"({"bundlePrefixes":["com.a"]})", std::nullopt},
      {"ids not an array", R"({"bundleIds":"com.a"})", std::nullopt},
      {"ids partly strings", R"({"bundleIds":["com.a",null]})", std::nullopt},
      {"ids empty, prefixes absent", R"({"bundleIds":[]})", std::nullopt},
      {"both empty", R"({"bundleIds":[],"bundlePrefixes":[]})", std::nullopt},
      // A malformed prefix list counts as absent, so it cannot make up for empty ids.
      {"ids empty, prefixes malformed", R"({"bundleIds":[],"bundlePrefixes":"com.a"})",
       std::nullopt},
      {"empty id", R"({"bundleIds":["","com.a"]})", std::nullopt},
      {"empty prefix", R"({"bundleIds":["com.a"],"bundlePrefixes":["com.b",""]})", std::nullopt},
      {"prefixes alone", R"({"bundleIds":[],"bundlePrefixes":["com.x"]})",
       ProcessMatch{{}, {"com.x"}, true}},
      {"prefixes partly strings", R"({"bundleIds":["com.a"],"bundlePrefixes":["com.b",2]})",
       ProcessMatch{{"com.a"}, {}, true}},
      {"defer absent", R"({"bundleIds":["com.a"]})", ProcessMatch{{"com.a"}, {}, true}},
      {"defer a string", R"({"bundleIds":["com.a"],"deferUntilIO":"false"})",
       ProcessMatch{{"com.a"}, {}, true}},
      {"defer false", R"({"bundleIds":["com.a"],"deferUntilIO":false})",
       ProcessMatch{{"com.a"}, {}, false}},
      {"lists kept as sent",
       R"({"bundleIds":["com.b","com.a","com.b"," Com.A "],"bundlePrefixes":["z.","A.","z."],
           "deferUntilIO":true,"extra":{"x":1}})",
       ProcessMatch{{"com.b", "com.a", "com.b", " Com.A "}, {"z.", "A.", "z."}, true}},
  };
  for (const auto& [name, json, expected] : cases) {
    auto got = ProcessMatch::fromJson(Json::parse(json));
    EXPECT_EQ(got ? std::optional(*got) : std::nullopt, expected) << name;
  }
}

// The flags cycle through all four combinations by position, so a case whose input repeats one
// identity four times shows that running state never decides.
std::vector<AudioProcessInfo> processes(const Ids& identities) {
  std::vector<AudioProcessInfo> out;
  for (uint32_t i = 0; i < identities.size(); ++i)
    out.push_back(
        {100 + i, static_cast<int32_t>(2000 + i), identities[i], (i & 1) != 0, (i & 2) != 0});
  return out;
}

TEST(ProcessMatchTest, SelectsByExactIdentityOrPrefix) {
  // The identities listed and the positions of those picked.
  const std::tuple<const char*, ProcessMatch, Ids, std::vector<size_t>> cases[] = {
      {"exact is case-sensitive and whole",
       {{"com.example.App"}, {}, true},
       {"com.example.app", "com.example.App.Player", "com.example.App", "com.example.Ap"},
       {2}},
      {"prefix covers itself and longer identities",
       {{}, {"com.example.App"}, true},
       {"com.example.App", "com.example.app", "com.example.App.Player", "org.com.example.App"},
       {0, 2}},
      {"input order, not list order",
       {{"c", "a"}, {"b."}, true},
       {"a", "b.x", "x", "c", "b.y", "a"},
       {0, 1, 3, 4, 5}},
      {"running state plays no part",
       {{"com.a"}, {"com.b"}, true},
       {"com.a", "com.a", "com.a", "com.a", "x", "x", "x", "x", "com.b.1", "com.b.2"},
       {0, 1, 2, 3, 8, 9}},
      {"no identity, no match", {{"com.a"}, {"com"}, true}, {"", "com.a", ""}, {1}},
      // fromJson never yields empty entries; a match built in code must still not pick a process
      // without an identity, though every string starts with "".
      {"no identity beside empty entries", {{""}, {""}, true}, {"", "x", ""}, {1}},
  };
  for (const auto& [name, match, identities, picked] : cases) {
    SCOPED_TRACE(name);
    const auto input = processes(identities);
    std::vector<AudioProcessInfo> expected;
    for (size_t i : picked)
      expected.push_back(input[i]);
    EXPECT_EQ(match.select(input), expected);
  }
}

} // namespace
} // namespace va
