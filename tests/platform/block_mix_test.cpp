#include "platform/block_mix.h"

#include <gtest/gtest.h>

#include <vector>

namespace va {
namespace {

using Samples = std::vector<float>;

TEST(MixInput, AveragesEveryChannelOfEveryBuffer) {
  const Samples stereo = {1.0f, 0.0f, 1.0f, 0.0f};
  const Samples left = {1.0f, 1.0f}, right = {0.0f, 0.0f}, shorter = {0.5f};
  struct Case {
    const char* name;
    std::vector<SampleBuffer> buffers;
    std::optional<Samples> expected;
  } cases[] = {
      {"interleaved stereo", {{stereo.data(), 4, 2}}, Samples{0.5f, 0.5f}},
      {"two mono buffers", {{left.data(), 2, 1}, {right.data(), 2, 1}}, Samples{0.5f, 0.5f}},
      {"a shorter second buffer adds to its frames only",
       {{left.data(), 2, 1}, {shorter.data(), 1, 1}},
       Samples{0.75f, 0.5f}},
      {"a buffer without data is not counted",
       {{left.data(), 2, 1}, {nullptr, 2, 1}},
       Samples{1.0f, 1.0f}},
      {"mono stays as it is", {{left.data(), 2, 1}}, Samples{1.0f, 1.0f}},
      {"no buffers", {}, std::nullopt},
      {"fewer samples than channels", {{stereo.data(), 1, 2}}, std::nullopt},
      {"no channels", {{stereo.data(), 4, 0}}, std::nullopt},
  };
  for (const Case& c : cases)
    EXPECT_EQ(mixInput(c.buffers), c.expected) << c.name;
}

TEST(MixTap, InterleavedUsesTheFirstBufferAndNonInterleavedAveragesBuffers) {
  const Samples stereo = {1.0f, 0.0f, 0.25f, 0.75f};
  const Samples a = {1.0f, 1.0f}, b = {0.0f};
  struct Case {
    const char* name;
    std::vector<SampleBuffer> buffers;
    bool interleaved;
    uint32_t channels;
    std::optional<Samples> expected;
  } cases[] = {
      {"interleaved stereo",
       {{stereo.data(), 4, 2}, {a.data(), 2, 1}},
       true,
       2,
       Samples{0.5f, 0.5f}},
      {"interleaved without data", {{nullptr, 4, 2}}, true, 2, std::nullopt},
      {"interleaved without a whole frame", {{stereo.data(), 1, 2}}, true, 2, std::nullopt},
      {"two planes, the second shorter",
       {{a.data(), 2, 1}, {b.data(), 1, 1}},
       false,
       2,
       Samples{0.5f, 0.5f}},
      {"an empty first plane gives an empty block", {{a.data(), 0, 1}}, false, 1, Samples{}},
      {"no buffers", {}, false, 1, std::nullopt},
  };
  for (const Case& c : cases)
    EXPECT_EQ(mixTap(c.buffers, c.interleaved, c.channels), c.expected) << c.name;
}

constexpr uint64_t kSecond = 1'000'000'000;

TEST(DeliveredRate, ReportsOnceCountingNeitherTheFirstNorTheReportingBlock) {
  DeliveredRate rate;
  const uint64_t start = 7 * kSecond;
  EXPECT_FALSE(rate.observe(start, 100000, 48000)); // dates the start; not counted
  // 47952 frames a second for 5 s, in 10 blocks of half a second.
  for (int i = 1; i < 10; ++i)
    EXPECT_FALSE(rate.observe(start + i * kSecond / 2, 23976, 48000));
  std::optional<Json> report = rate.observe(start + 5 * kSecond, 23976, 48000);
  ASSERT_TRUE(report);
  // 9 counted blocks over 5 s: 43156.8 frames a second.
  EXPECT_EQ(*report, (Json{{"reason", "delivered_rate"},
                           {"clock", "tap"},
                           {"rateUsed", 48000.0},
                           {"deliveredRate", 43156.8},
                           {"deviationPct", -10.1}}));
  EXPECT_FALSE(rate.observe(start + 11 * kSecond, 23976, 48000));
}

TEST(DeliveredRate, DeviationOfATenthOfAPercent) {
  DeliveredRate rate;
  rate.observe(0, 1, 48000);
  for (int i = 0; i < 5; ++i)
    rate.observe(i * kSecond + 1, 47952, 48000);
  std::optional<Json> report = rate.observe(5 * kSecond, 0, 48000);
  ASSERT_TRUE(report);
  EXPECT_DOUBLE_EQ((*report)["deliveredRate"].get<double>(), 47952.0);
  EXPECT_DOUBLE_EQ((*report)["deviationPct"].get<double>(), -0.1);
}

TEST(DeliveredRate, ARateOfZeroHasNoDeviationAndAnEarlyBlockEndsNothing) {
  DeliveredRate rate;
  rate.observe(10 * kSecond, 480, 0);
  EXPECT_FALSE(rate.observe(2 * kSecond, 480, 0)); // earlier than the start
  std::optional<Json> report = rate.observe(16 * kSecond, 480, 0);
  ASSERT_TRUE(report);
  EXPECT_TRUE((*report)["deviationPct"].is_null());
  EXPECT_DOUBLE_EQ((*report)["deliveredRate"].get<double>(), 80.0); // 480 frames over 6 s
}

} // namespace
} // namespace va
