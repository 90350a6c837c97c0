#include "platform/block_mix.h"
#include "platform/block_ring.h"
#include "platform/cycle_clock.h"
#include "platform/path_watch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <thread>
#include <vector>

namespace va {
namespace {

using Samples = std::vector<float>;

// The microphone's mix averages every channel of every buffer, its frames counted by the first
// buffer; the tap's averages the first buffer's interleaved frames, or else its planes.
TEST(Mix, AveragesEveryChannelOfEveryBuffer) {
  const Samples stereo = {1.0f, 0.0f, 1.0f, 0.0f}, ones = {1.0f, 1.0f}, half = {0.5f, 0.5f};
  enum Mix { mic, interleaved, planes };
  struct Case {
    const char* name;
    Mix mix;
    std::vector<SampleBuffer> buffers;
    std::optional<Samples> expected;
  } cases[] = {
      {"stereo", mic, {{stereo.data(), 4, 2}}, half},
      {"shorter second", mic, {{ones.data(), 2, 1}, {half.data(), 1, 1}}, Samples{0.75f, 0.5f}},
      {"one without data", mic, {{ones.data(), 2, 1}, {nullptr, 2, 1}}, ones}, // one channel
      {"no buffers", mic, {}, std::nullopt},
      {"fewer samples than channels", mic, {{stereo.data(), 1, 2}}, std::nullopt},
      {"no channels", mic, {{stereo.data(), 4, 0}}, std::nullopt},
      {"tap's first only", interleaved, {{stereo.data(), 4, 2}, {ones.data(), 2, 1}}, half},
      {"tap's without data", interleaved, {{nullptr, 4, 2}}, std::nullopt},
      {"tap's planes", planes, {{ones.data(), 2, 1}, {half.data(), 1, 1}}, Samples{0.75f, 0.5f}},
      {"tap's empty first plane", planes, {{ones.data(), 0, 1}}, Samples{}},
      {"tap's none", planes, {}, std::nullopt},
  };
  for (const Case& c : cases)
    EXPECT_EQ(c.mix == mic ? mixInput(c.buffers) : mixTap(c.buffers, c.mix == interleaved, 2),
              c.expected)
        << c.name;
}

constexpr uint64_t kSecond = 1'000'000'000;

// An idle server read 0.4 % slow (0.9 % at a 2048-frame quantum) when the first block was left
// out of a span that starts with it.
TEST(DeliveredRate, ReportsOnceTheBlocksBeforeTheReportingOneOverTheirSpan) {
  DeliveredRate rate;
  const uint64_t start = 7 * kSecond;
  // 47952 frames a second for 5 s, in 10 blocks of half a second.
  for (int i = 0; i < 10; ++i)
    EXPECT_FALSE(rate.observe(start + i * kSecond / 2, 23976, 48000));
  std::optional<Json> report = rate.observe(start + 5 * kSecond, 100000, 48000);
  ASSERT_TRUE(report);
  EXPECT_EQ(*report, (Json{{"reason", "delivered_rate"},
                           {"clock", "tap"},
                           {"rateUsed", 48000.0},
                           {"deliveredRate", 47952.0},
                           {"deviationPct", -0.1}}));
  EXPECT_FALSE(rate.observe(start + 11 * kSecond, 23976, 48000));

  // A rate of 0 has no deviation; a block dated before the start counts but ends nothing.
  DeliveredRate zero;
  zero.observe(10 * kSecond, 480, 0);
  EXPECT_FALSE(zero.observe(2 * kSecond, 480, 0));
  report = zero.observe(16 * kSecond, 480, 0);
  ASSERT_TRUE(report);
  EXPECT_TRUE((*report)["deviationPct"].is_null());
  EXPECT_EQ((*report)["deliveredRate"], 160.0); // 960 frames over 6 s
}

// 1024-frame cycles at 48 kHz: what the driver reports (position, wake time) and the dates given.
TEST(CycleClock, DatesCyclesByTheirPositionWhateverTheirWakeTimes) {
  const double q = 1024 / 48000.0 * 1e9; // ns per cycle
  auto at = [&](double cycles) { return static_cast<uint64_t>(5e9 + cycles * q); };
  auto pos = [](uint64_t cycles) { return 96000 + cycles * 1024; };
  struct Cycle {
    uint64_t position, wokeNs, datedNs;
  };
  const std::pair<const char*, std::vector<Cycle>> cases[] = {
      {"late wakes move nothing",
       {{pos(0), at(0), at(0)},
        {pos(1), at(1) + 21'000'000, at(1)},
        {pos(2), at(2), at(2)},
        {pos(3), at(3) + 3'000'000, at(3)}}},
      {"a missed cycle is a hole", {{pos(0), at(0), at(0)}, {pos(2), at(2), at(2)}}},
      {"a lasting step is taken when the window holds no earlier cycle",
       [&] {
         std::vector<Cycle> c{{pos(0), at(0), at(0)}};
         for (uint64_t i = 1; i <= 32; ++i)
           c.push_back({pos(i), at(i + 1), at(i)});
         c.push_back({pos(33), at(34), at(34)});
         return c;
       }()},
      {"another driver's position is taken at once",
       {{pos(0), at(0), at(0)}, {7, at(1), at(1)}, {1031, at(2), at(2)}}},
  };
  for (const auto& [name, cycles] : cases) {
    SCOPED_TRACE(name);
    CycleClock clock;
    for (const Cycle& c : cycles)
      EXPECT_NEAR(static_cast<double>(clock.date(c.position, 48000, c.wokeNs)),
                  static_cast<double>(c.datedNs), 1000)
          << c.position;
  }
}

// The path's watch over 6 s in 10 ms steps, checked every 250 ms as the capture stream does:
// what the stream sees at each step, and the actions and repairs that follow.
TEST(PathWatch, RemakesTheNodeOfAPathThatBringsNothingWhileItsSourceRuns) {
  enum Cycle { none, unheard, heard };
  struct World {
    Cycle cycle;
    bool due, stalled;
  };
  using Log = std::vector<std::string>;
  const std::tuple<const char*, std::function<World(int ms)>, Log> cases[] = {
      {"a paused source breaks nothing",
       [](int) {
         return World{unheard, false, false};
       },
       {}},
      {"digital silence is heard",
       [](int) {
         return World{heard, true, false};
       },
       {}},
      {"a new node has half a second to be linked",
       [](int ms) {
         return World{ms < 450 ? unheard : heard, true, false};
       },
       {}},
      {"nothing reaches us while the source plays, until a second node",
       [](int ms) {
         return World{ms < 1000 || ms >= 2500 ? heard : unheard, true, false};
       },
       {"1500 restart", "2500 repaired no_data 1510 ms"}},
      {"a source that pauses while the path is broken holds the ladder",
       [](int ms) {
         return World{ms >= 5000 ? heard : unheard, ms < 1750 || ms >= 4000, false};
       },
       {"500 restart", "1500 restart", "4000 restart", "5000 repaired no_data 5000 ms"}},
      {"no cycles at all while the source plays: not scheduled, given two seconds",
       [](int ms) {
         return World{ms < 1000 || ms >= 3500 ? heard : none, true, false};
       },
       {"3000 restart", "3500 repaired not_scheduled 2510 ms"}},
      {"our always-processing node stalls while nothing plays; any cycle mends it",
       [](int ms) {
         bool stalled = ms >= 2000 && ms < 4500;
         return World{stalled ? none : unheard, false, stalled};
       },
       {"3750 restart", "4500 repaired not_scheduled 2750 ms"}},
  };
  for (const auto& [name, world, expected] : cases) {
    SCOPED_TRACE(name);
    PathWatch watch;
    watch.grace(0);
    Log log;
    for (int ms = 0; ms <= 6000; ms += 10) {
      const uint64_t now = static_cast<uint64_t>(ms) * 1'000'000;
      World w = world(ms);
      if (w.cycle != none)
        if (auto repair = watch.cycle(now, w.cycle == heard))
          log.push_back(std::to_string(ms) + " repaired " + repair->reason + " " +
                        std::to_string(repair->lostNs / 1'000'000) + " ms");
      if (ms % 250 == 0)
        if (watch.check(now, w.due, w.stalled) == PathWatch::Action::restart)
          log.push_back(std::to_string(ms) + " restart");
    }
    EXPECT_EQ(log, expected);
  }
}

// What the data thread hands over: planar channels, silence where a port had nothing (or less
// than the cycle), whole blocks dropped and counted when the loop thread falls behind, and
// blocks that wrap around the end of the ring arriving whole.
TEST(BlockRing, HandsOverWholePlanarCyclesAndDropsWhatDoesNotFit) {
  BlockRing ring(8, 3);
  const Samples left = {1, 2, 3}, right = {4};
  const float* channels[] = {left.data(), right.data()};
  const float* silent[] = {nullptr, nullptr};
  const uint32_t available[] = {3, 1};
  auto header = [](uint64_t timeNs, uint32_t frames) {
    return BlockRing::Header{.timeNs = timeNs, .rateHz = 48000, .frames = frames, .channels = 2};
  };
  std::vector<std::pair<uint64_t, Samples>> taken;
  auto drain = [&] {
    return ring.drain([&](const BlockRing::Header& h, std::span<const float> planar) {
      taken.emplace_back(h.timeNs, Samples(planar.begin(), planar.end()));
    });
  };
  ASSERT_TRUE(ring.push(header(1, 3), channels, available));
  EXPECT_FALSE(ring.push(header(2, 2), channels, available)); // 6 + 4 samples > 8
  EXPECT_EQ(ring.takeDropped(), 1u);
  EXPECT_EQ(ring.takeDropped(), 0u);
  EXPECT_EQ(drain(), 1u);
  ASSERT_TRUE(ring.push(header(3, 3), channels, available)); // wraps past the end
  ASSERT_TRUE(ring.push(header(4, 1), silent, available));
  EXPECT_EQ(drain(), 2u);
  EXPECT_EQ(drain(), 0u);
  EXPECT_EQ(taken,
            (decltype(taken){{1, {1, 2, 3, 4, 0, 0}}, {3, {1, 2, 3, 4, 0, 0}}, {4, {0, 0}}}));
}

// One producer thread and one consumer thread: every block arrives once, whole and in order,
// or is counted as dropped.
TEST(BlockRing, OneProducerAndOneConsumerLoseNothingUncounted) {
  BlockRing ring(64, 8);
  constexpr uint64_t kBlocks = 20000;
  std::thread producer([&] {
    for (uint64_t i = 1; i <= kBlocks; ++i) {
      const Samples block(4, static_cast<float>(i % 1000));
      const float* channels[] = {block.data()};
      const uint32_t available[] = {4};
      ring.push({.timeNs = i, .rateHz = 48000, .frames = 4, .channels = 1}, channels, available);
    }
  });
  uint64_t received = 0, dropped = 0, last = 0;
  bool whole = true;
  while (received + dropped < kBlocks) {
    received += ring.drain([&](const BlockRing::Header& h, std::span<const float> planar) {
      whole = whole && h.timeNs > last && planar.size() == 4 &&
              std::all_of(planar.begin(), planar.end(),
                          [&](float x) { return x == static_cast<float>(h.timeNs % 1000); });
      last = h.timeNs;
    });
    dropped += ring.takeDropped();
  }
  producer.join();
  EXPECT_TRUE(whole);
  EXPECT_EQ(received + dropped, kBlocks);
}

} // namespace
} // namespace va
