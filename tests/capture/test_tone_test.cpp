#include "capture/remote_strategies.h"
#include "capture/test_tone_strategy.h"
#include "fakes/manual_time.h"

#include <cmath>
#include <cstdlib>

namespace va {
namespace {

using namespace std::chrono_literals;

class TestToneTest : public testing_support::ManualTimeTest {
protected:
  void SetUp() override {
    ASSERT_TRUE(tone->start(sink, events));
    queue->runUntilIdle();
  }
  // Block i of the tone is stamped i * 10 ms after the start.
  void expectOnTheGrid(size_t blocks) {
    auto got = sink->blocks();
    ASSERT_EQ(got.size(), blocks);
    for (size_t i = 0; i < blocks; ++i)
      EXPECT_EQ(got[i].hostNs, t0 + i * 10'000'000) << i;
  }

  const uint64_t t0 = static_cast<uint64_t>(clock->nowNs());
  std::shared_ptr<TestToneStrategy> tone = std::make_shared<TestToneStrategy>(clock, queue);
};

TEST_F(TestToneTest, BlocksComeOnTheGridCatchUpAndNothingReachesTheSinkAfterStop) {
  expectOnTheGrid(1); // a block at once
  EXPECT_EQ(sink->blocks()[0].rateHz, 48000.0);
  EXPECT_EQ(sink->blocks()[0].samples.size(), 480u);
  queue->advance(10ms);
  // The queue is held up: the firing due at 20 ms comes at 75 ms, with the blocks of 20 to 70 ms.
  clock->advance(65'000'000);
  queue->runUntilIdle();
  expectOnTheGrid(8);
  // The phase runs on across the catch-up: a 440 Hz sine at 0.25, without a break.
  EXPECT_NEAR(sink->blocks()[7].samples[0], std::sin(7 * 480 * 2 * M_PI * 440 / 48000.0) * 0.25,
              1e-5);
  queue->advance(920ms);
  expectOnTheGrid(100); // a second is a hundred blocks
  tone->stop();
  tone->stop();
  queue->advance(1s);
  EXPECT_EQ(sink->blocks().size(), 100u);
  EXPECT_EQ(queue->pending(), 0u);
  EXPECT_EQ(events->snapshot(0).size(), 1u); // "track_started" only: stop appends nothing
}

TEST_F(TestToneTest, AGoneStrategyStopsProducing) {
  tone.reset();
  queue->advance(100ms);
  EXPECT_EQ(sink->blocks().size(), 1u);
}

// The test tone is made exactly when the variable is "1"; "process-tap" comes from its factory
// whatever the variable says, and any other name is refused. The variable is unset at the end.
TEST(RemoteStrategiesMake, ProcessTapFromItsFactoryTestToneWhenEnabledNothingElse) {
  constexpr const char* kVariable = "VELMORRANT_AUDIO_TEST_STRATEGIES";
  auto clock = std::make_shared<ManualClock>(0);
  const ProcessMatch match{{"com.example.a"}, {}, true};
  std::vector<ProcessMatch> built;
  auto tap = std::make_shared<UnavailableStrategy>("tap");
  RemoteStrategies::ProcessTapFactory factory = [&](const ProcessMatch& m) {
    built.push_back(m);
    return tap;
  };
  const char* values[] = {nullptr, "1", "", "0", "true", "11", " 1", "1 ", "yes"};
  for (const char* value : values) {
    SCOPED_TRACE(value ? value : "(unset)");
    value ? setenv(kVariable, value, 1) : unsetenv(kVariable);
    const bool enabled = value && std::string(value) == "1";
    EXPECT_EQ(TestToneStrategy::enabled(), enabled);
    EXPECT_EQ(RemoteStrategies::make("process-tap", match, clock, factory).value_or(nullptr), tap);
    auto tone = RemoteStrategies::make("test-tone", match, clock, factory).value_or(nullptr);
    EXPECT_EQ(std::dynamic_pointer_cast<TestToneStrategy>(tone) != nullptr, enabled);
    // Refused (unsupported is the only refusal there is).
    for (const char* name : {"", "nope", "Process-Tap", "process-tap ", "test-tone\n"})
      EXPECT_FALSE(RemoteStrategies::make(name, match, clock, factory)) << name;
  }
  EXPECT_EQ(built, std::vector<ProcessMatch>(std::size(values), match));
  EXPECT_FALSE(RemoteStrategies::make("process-tap", match, clock, nullptr));
  unsetenv(kVariable);
}

} // namespace
} // namespace va
