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

TEST(InputDevice, Json) {
  InputDevice d{7, "usb_mic", "USB Mic", "usb", 48000, 2};
  EXPECT_EQ(d.json(), Json({{"id", 7},
                            {"uid", "usb_mic"},
                            {"name", "USB Mic"},
                            {"transport", "usb"},
                            {"nominalSampleRate", 48000.0},
                            {"inputChannels", 2}}));
}

TEST(CapturePermissions, RefusalSticks) {
  CapturePermissions p;
  EXPECT_FALSE(p.refused());
  p.systemAudioRefused("no audio server");
  EXPECT_TRUE(p.refused());
}

} // namespace
} // namespace va
