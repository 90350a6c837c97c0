#include "service/descriptor_limit.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

namespace va {
namespace {

TEST(DescriptorLimit, RaisesTheSoftLimitToTheHardOne) {
  rlimit before{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &before), 0);
  if (before.rlim_max < 128)
    GTEST_SKIP() << "hard descriptor limit " << before.rlim_max;
  rlimit lowered{64, before.rlim_max};
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);

  uint64_t limit = raiseDescriptorLimit();

  rlimit after{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &after), 0);
  EXPECT_EQ(after.rlim_cur, limit);
  EXPECT_GT(limit, 64u);
  if (before.rlim_max != RLIM_INFINITY) {
    EXPECT_LE(limit, before.rlim_max);
  }
  EXPECT_EQ(after.rlim_max, before.rlim_max);
}

// Connections keep the reserve and every recording track's descriptors free; tracks may take
// all but the reserve and the least number of connections.
TEST(DescriptorLimit, ConnectionsAndTracksShareWhatIsLeftByTheReserve) {
  struct Case {
    uint64_t limit;
    size_t tracks;
    size_t cap;
  } cases[] = {
      {1048576, 0, 1024}, {1280, 0, 1024}, {1279, 0, 1023},       {1024, 0, 768},
      {300, 0, 44},       {272, 0, 16},    {20, 0, 16},           {1024, 10, 448},
      {1024, 23, 32},     {1024, 24, 16},  {1048576, 1000, 1024},
  };
  for (const Case& c : cases)
    EXPECT_EQ(connectionCap(c.limit, 1024, c.tracks), c.cap) << c.limit << " " << c.tracks;
  EXPECT_EQ(trackCap(1024), 23u);
  EXPECT_EQ(trackCap(272), 0u);
  EXPECT_EQ(trackCap(100), 0u);
  EXPECT_EQ(connectionCap(1024, 1024, trackCap(1024)), 32u);
}

} // namespace
} // namespace va
