// The remote track's strategy on its real queue, with audio, format reports and notifications
// arriving from other threads while the applications come and go and the capture stops.

#include "capture/process_tap_strategy.h"
#include "core/serial_queue.h"
#include "fakes/fake_platform.h"
#include "fakes/manual_time.h"
#include "support/eventually.h"

#include <atomic>
#include <thread>

namespace va {
namespace {

TEST(ProcessTapStrategyThreads, ChurnAndAudioFromOtherThreadsThenStop) {
  auto clock = std::make_shared<MonotonicClock>();
  auto processes = std::make_shared<fakes::FakeProcesses>();
  auto tap = std::make_shared<fakes::FakeTap>();
  auto notifier = std::make_shared<ListenerRegistry>();
  auto sink = std::make_shared<testing_support::RecordingSink>(clock, "remote");
  auto events = std::make_shared<EventLog>(clock);
  CapturePermissions permissions;
  const AudioProcessInfo a{1, 100, "com.example.a", true, false};
  const AudioProcessInfo b{2, 200, "com.example.b", false, false};
  processes->list = {a};
  auto strategy = std::make_shared<ProcessTapStrategy>(
      ProcessMatch{{"com.example.a", "com.example.b"}, {}, false},
      ProcessTapStrategy::Platform{processes, tap, std::make_shared<fakes::FakeOutputDevices>(),
                                   notifier, &permissions},
      true, clock, std::make_shared<SerialQueue>("velmorrant-audio.tap"));
  ASSERT_TRUE(strategy->start(sink, events));
  ASSERT_TRUE(tap->running());

  std::atomic<bool> done{false};
  std::thread audio([&] {
    while (!done.load()) {
      tap->deliver(160, 16000, static_cast<uint64_t>(clock->nowNs()));
      tap->report({{"reason", "delivered_rate"}});
      std::this_thread::yield();
    }
  });
  // Audio has reached the sink before the churn can take the tap away.
  ASSERT_TRUE(testing_support::eventually([&] { return !sink->blocks().empty(); }));
  const std::vector<std::vector<AudioProcessInfo>> sets = {{a, b}, {b}, {}, {a}};
  for (int round = 0; round < 200; ++round) {
    {
      std::lock_guard lock(processes->mutex);
      processes->list = sets[static_cast<size_t>(round) % sets.size()];
    }
    notifier->notify({ChangeKind::processList});
    notifier->notify({ChangeKind::processRunning, 2});
    notifier->notify({ChangeKind::defaultOutput});
  }
  strategy->stop();
  done = true;
  audio.join();

  std::vector<CaptureEvent> log = events->snapshot(0);
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.back().type, "track_stopped");
  EXPECT_EQ(std::ranges::count(log, "track_stopped", &CaptureEvent::type), 1);
  EXPECT_FALSE(tap->running());
}

} // namespace
} // namespace va
