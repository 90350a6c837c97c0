#include "core/manual_queue.h"
#include "fakes/fake_platform.h"
#include "platform/change_notifier.h"
#include "platform/mic_io.h"

#include <gtest/gtest.h>

namespace va {
namespace {

TEST(ListenerRegistry, DeliversOnItsQueueOncePerChangeUntilCancelled) {
  auto registry = std::make_shared<ListenerRegistry>();
  auto queue = std::make_shared<ManualQueue>(std::make_shared<ManualClock>());
  int devices = 0, process7 = 0;
  auto a = registry->listen({ChangeKind::deviceList}, queue, [&] { ++devices; });
  auto b = registry->listen({ChangeKind::processRunning, 7}, queue, [&] { ++process7; });
  ASSERT_TRUE(a && b);

  registry->notify({ChangeKind::deviceList});
  registry->notify({ChangeKind::processRunning, 8});
  EXPECT_EQ(devices, 0); // nothing runs off the queue
  queue->runUntilIdle();
  EXPECT_EQ(devices, 1);
  EXPECT_EQ(process7, 0);

  // A notification already queued when the listener is cancelled does not run.
  registry->notify({ChangeKind::processRunning, 7});
  b->cancel();
  b->cancel();
  EXPECT_FALSE(b->active());
  queue->runUntilIdle();
  EXPECT_EQ(process7, 0);

  a.reset(); // destroying cancels
  registry->notify({ChangeKind::deviceList});
  queue->runUntilIdle();
  EXPECT_EQ(devices, 1);
  EXPECT_EQ(registry->count(), 0u);
  EXPECT_EQ(registry->listen({ChangeKind::deviceList}, nullptr, [] {}), nullptr);
}

TEST(MicDeviceResolver, ByUidOrByDefault) {
  fakes::FakeInputDevices devices;
  devices.devices = {{3, "a", "A", "usb", 48000, 1}, {5, "b", "B", "virtual", 48000, 2}};
  struct Case {
    const char* name;
    std::optional<std::string> uid;
    std::optional<uint32_t> defaultID;
    std::optional<uint32_t> expected;
  } cases[] = {
      {"requested uid", "b", 3, 5},
      {"requested uid ignores the default", "zzz", 3, std::nullopt},
      {"uid is case-sensitive", "A", 3, std::nullopt},
      {"the default", std::nullopt, 3, 3},
      {"no default", std::nullopt, std::nullopt, std::nullopt},
      {"a default of 0", std::nullopt, 0, std::nullopt},
      {"a default that is not listed", std::nullopt, 9, std::nullopt},
  };
  for (const Case& c : cases) {
    devices.defaultID = c.defaultID;
    std::optional<InputDevice> found = MicDeviceResolver::resolve(c.uid, devices);
    EXPECT_EQ(found ? std::optional(found->id) : std::nullopt, c.expected) << c.name;
  }
}

} // namespace
} // namespace va
