#include "platform/capture_permissions.h"
#include "platform/input_device.h"
#include "platform/system_info.h"

#include <gtest/gtest.h>

namespace va {
namespace {

TEST(OsVersion, FromKernelRelease) {
  const std::pair<const char*, const char*> cases[] = {
      {"6.1.0-18-amd64", "6.1.0"},
      {"6.18.44", "6.18.44"},
      {"5.10", "5.10.0"},
      {"4.19.0+", "4.19.0"},
      {"6.1.0.5", "6.1.0"},
      {"", "0.0.0"},
      {"x", "0.0.0"},
      {"6.-1", "6.0.0"},
      {"6.", "6.0.0"},
  };
  for (const auto& [release, version] : cases)
    EXPECT_EQ(osVersionFromRelease(release), version) << release;
}

} // namespace
} // namespace va
