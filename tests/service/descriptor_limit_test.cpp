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

TEST(DescriptorLimit, ConnectionsKeepTheReserveFree) {
  struct Case {
    uint64_t limit;
    size_t cap;
  } cases[] = {
      {1048576, 1024}, {1280, 1024}, {1279, 1023}, {1024, 768}, {300, 44}, {272, 16}, {20, 16},
  };
  for (const Case& c : cases)
    EXPECT_EQ(connectionCap(c.limit, 1024), c.cap) << c.limit;
}

} // namespace
} // namespace va
