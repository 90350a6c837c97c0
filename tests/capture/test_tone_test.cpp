#include "capture/remote_strategies.h"
#include "capture/test_tone_strategy.h"

#include "capture/event_log.h"
#include "core/manual_queue.h"
#include "fakes/recording_sink.h"

#include <cmath>
#include <cstdlib>
#include <gtest/gtest.h>

namespace va {
namespace {

using namespace std::chrono_literals;
using testing_support::RecordingSink;

constexpr int64_t kStartNs = 7'000'000'000;

class TestToneTest : public testing::Test {
protected:
  void start() {
    ASSERT_TRUE(tone_->start(sink_, events_).has_value());
    queue_->runUntilIdle();
  }
  std::shared_ptr<ManualClock> clock_ = std::make_shared<ManualClock>(kStartNs);
  std::shared_ptr<ManualQueue> queue_ = std::make_shared<ManualQueue>(clock_);
  std::shared_ptr<EventLog> events_ = std::make_shared<EventLog>(clock_);
  std::shared_ptr<RecordingSink> sink_ = std::make_shared<RecordingSink>(clock_);
  std::shared_ptr<TestToneStrategy> tone_ = std::make_shared<TestToneStrategy>(clock_, queue_);
};

TEST_F(TestToneTest, StartsWithABlockAtOnceAndAnnouncesTheTrack) {
  start();
  auto blocks = sink_->blocks();
  ASSERT_EQ(blocks.size(), 1u);
  EXPECT_EQ(blocks[0].hostNs, static_cast<uint64_t>(kStartNs));
  EXPECT_EQ(blocks[0].rateHz, 48000.0);
  ASSERT_EQ(blocks[0].samples.size(), 480u);
  // The oscillator: computed in double, narrowed per sample.
  double phase = 0;
  for (float s : blocks[0].samples) {
    EXPECT_EQ(s, static_cast<float>(std::sin(phase) * 0.25));
    phase += 2764.601535159018 / 48000.0;
  }
  auto events = events_->snapshot(0);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].type, "track_started");
  EXPECT_EQ(events[0].fields, (Json{{"track", "remote"}, {"strategy", "test-tone"}}));
}

TEST_F(TestToneTest, OneSecondIsOneHundredBlocksOnTheGrid) {
  start();
  queue_->advance(995ms);
  auto blocks = sink_->blocks();
  ASSERT_EQ(blocks.size(), 100u);
  for (size_t i = 0; i < blocks.size(); ++i)
    EXPECT_EQ(blocks[i].hostNs, static_cast<uint64_t>(kStartNs) + i * 10'000'000) << i;
}

TEST_F(TestToneTest, ALateFiringCatchesUpWithGridTimes) {
  start();
  queue_->advance(10ms); // block 1
  // The queue is held up: the next firing comes 55 ms late.
  clock_->advance(65'000'000);
  queue_->runUntilIdle();
  auto blocks = sink_->blocks();
  ASSERT_EQ(blocks.size(), 8u); // the firing due at 20 ms comes at 75 ms: 20 ... 70 ms at once
  for (size_t i = 0; i < blocks.size(); ++i)
    EXPECT_EQ(blocks[i].hostNs, static_cast<uint64_t>(kStartNs) + i * 10'000'000) << i;
  // The phase runs on across the catch-up: no discontinuity between blocks.
  EXPECT_NEAR(blocks[7].samples[0], std::sin(7 * 480 * 2764.601535159018 / 48000.0) * 0.25, 1e-5);
}

TEST_F(TestToneTest, NothingReachesTheSinkAfterStop) {
  start();
  queue_->advance(50ms);
  size_t before = sink_->blockCount();
  tone_->stop();
  tone_->stop();
  queue_->advance(1s);
  EXPECT_EQ(sink_->blockCount(), before);
  EXPECT_EQ(queue_->pending(), 0u);
  EXPECT_EQ(events_->snapshot(0).size(), 1u); // stop appends nothing
}

TEST_F(TestToneTest, AGoneStrategyStopsProducing) {
  start();
  tone_.reset();
  queue_->advance(100ms);
  EXPECT_EQ(sink_->blockCount(), 1u);
}

TEST(TestToneEnabled, OnlyTheExactValueOne) {
  const char* kName = "VELMORRANT_AUDIO_TEST_STRATEGIES";
  const char* saved = std::getenv(kName);
  std::string restore = saved ? saved : "";
  struct Case {
    const char* value; // nullptr: unset
    bool enabled;
  };
  const Case cases[] = {{nullptr, false}, {"1", true},     {"", false},
                        {"0", false},     {"true", false}, {"11", false},
                        {" 1", false},    {"1 ", false},   {"yes", false}};
  for (const Case& c : cases) {
    if (c.value)
      setenv(kName, c.value, 1);
    else
      unsetenv(kName);
    EXPECT_EQ(TestToneStrategy::enabled(), c.enabled) << (c.value ? c.value : "(unset)");
  }
  if (saved)
    setenv(kName, restore.c_str(), 1);
  else
    unsetenv(kName);
}

// The remote strategies by name, with the test strategies off and on.
TEST(RemoteStrategiesMake, ProcessTapFromItsFactoryTestToneWhenEnabledNothingElse) {
  const char* kName = "VELMORRANT_AUDIO_TEST_STRATEGIES";
  const char* saved = std::getenv(kName);
  std::string restore = saved ? saved : "";
  auto clock = std::make_shared<ManualClock>(0);
  const ProcessMatch match{{"com.example.a"}, {}, true};
  std::vector<ProcessMatch> built;
  auto tap = std::make_shared<UnavailableStrategy>("tap");
  RemoteStrategies::ProcessTapFactory factory = [&](const ProcessMatch& m) {
    built.push_back(m);
    return tap;
  };
  for (bool enabled : {false, true}) {
    if (enabled)
      setenv(kName, "1", 1);
    else
      unsetenv(kName);
    SCOPED_TRACE(enabled ? "test strategies on" : "test strategies off");
    auto made = RemoteStrategies::make("process-tap", match, clock, factory);
    ASSERT_TRUE(made);
    EXPECT_EQ(*made, tap);
    auto tone = RemoteStrategies::make("test-tone", match, clock, factory);
    EXPECT_EQ(tone.has_value(), enabled);
    if (tone) {
      EXPECT_NE(std::dynamic_pointer_cast<TestToneStrategy>(*tone), nullptr);
    }
    for (const char* name : {"", "nope", "Process-Tap", "process-tap ", "test-tone\n"}) {
      auto refused = RemoteStrategies::make(name, match, clock, factory);
      ASSERT_FALSE(refused) << name;
      EXPECT_EQ(refused.error(), RemoteStrategies::Refusal::unsupported);
    }
  }
  EXPECT_EQ(built, (std::vector<ProcessMatch>{match, match}));
  EXPECT_FALSE(RemoteStrategies::make("process-tap", match, clock, nullptr));
  if (saved)
    setenv(kName, restore.c_str(), 1);
  else
    unsetenv(kName);
}

} // namespace
} // namespace va
