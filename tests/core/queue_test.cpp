#include "core/manual_queue.h"
#include "core/serial_queue.h"
#include "core/work_pool.h"

#include "support/eventually.h"
#include <atomic>
#include <condition_variable>
#include <future>

#include <gtest/gtest.h>
#include <mutex>
#include <thread>
#include <vector>

namespace va {
namespace {

using namespace std::chrono_literals;
using testing_support::eventually;

TEST(SerialQueue, RunsTasksInOrderOneAtATime) {
  SerialQueue q("velmorrant-audio.test");
  std::vector<int> seen; // touched only on the queue
  std::atomic<int> inside{0};
  bool overlapped = false;
  for (int i = 0; i < 1000; ++i)
    q.async([&, i] {
      if (inside.fetch_add(1) != 0)
        overlapped = true;
      seen.push_back(i);
      inside.fetch_sub(1);
    });
  std::vector<int> copy;
  q.sync([&] { copy = seen; });
  ASSERT_EQ(copy.size(), 1000u);
  for (int i = 0; i < 1000; ++i)
    EXPECT_EQ(copy[i], i);
  EXPECT_FALSE(overlapped);
}

TEST(SerialQueue, SyncRunsOnTheQueueThread) {
  SerialQueue q("velmorrant-audio.test");
  bool current = false;
  std::thread::id id;
  q.sync([&] {
    current = q.isCurrent();
    id = std::this_thread::get_id();
  });
  EXPECT_TRUE(current);
  EXPECT_NE(id, std::this_thread::get_id());
  EXPECT_FALSE(q.isCurrent());
}

TEST(SerialQueue, AfterRunsOnceAndCancelStopsIt) {
  SerialQueue q("velmorrant-audio.test");
  std::atomic<int> ran{0}, cancelledRan{0};
  q.after(5ms, [&] { ran.fetch_add(1); });
  TimerHandle h = q.after(50ms, [&] { cancelledRan.fetch_add(1); });
  h.cancel();
  EXPECT_TRUE(eventually([&] { return ran.load() == 1; }));
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(ran.load(), 1);
  EXPECT_EQ(cancelledRan.load(), 0);
}

TEST(SerialQueue, CancelOnTheQueueGuaranteesNoFurtherRun) {
  SerialQueue q("velmorrant-audio.test");
  std::atomic<int> ticks{0};
  TimerHandle h;
  std::promise<void> stopped;
  q.sync([&] {
    h = q.every(1ms, [&] {
      if (ticks.fetch_add(1) + 1 == 5) {
        h.cancel();
        stopped.set_value();
      }
    });
  });
  stopped.get_future().wait();
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(ticks.load(), 5);
}

TEST(SerialQueue, DestroyedFromItsOwnThread) {
  auto q = std::make_shared<SerialQueue>("velmorrant-audio.test");
  std::atomic<bool> mainReleased{false}, done{false};
  auto task = [keep = q, &mainReleased, &done]() mutable {
    while (!mainReleased.load())
      std::this_thread::sleep_for(1ms);
    keep.reset(); // the last owner goes away on the queue itself
    done = true;
  };
  q->async(std::move(task));
  q.reset();
  mainReleased = true;
  EXPECT_TRUE(eventually([&] { return done.load(); }));
}

TEST(SerialQueue, SyncAfterShutdownReturns) {
  SerialQueue q("velmorrant-audio.test");
  q.shutdown();
  bool ran = false;
  q.sync([&] { ran = true; });
  EXPECT_FALSE(ran);
}

TEST(ManualQueue, RunsDueWorkInTimeOrder) {
  auto clock = std::make_shared<ManualClock>(1000);
  ManualQueue q(clock);
  std::vector<std::pair<std::string, int64_t>> log;
  q.after(30ns, [&] { log.emplace_back("c", clock->nowNs()); });
  q.after(10ns, [&] { log.emplace_back("a", clock->nowNs()); });
  q.async([&] { log.emplace_back("now", clock->nowNs()); });
  q.after(10ns, [&] { log.emplace_back("b", clock->nowNs()); });
  q.after(31ns, [&] { log.emplace_back("late", clock->nowNs()); });
  q.advance(30);
  std::vector<std::pair<std::string, int64_t>> expected = {
      {"now", 1000}, {"a", 1010}, {"b", 1010}, {"c", 1030}};
  EXPECT_EQ(log, expected);
  EXPECT_EQ(clock->nowNs(), 1030);
  EXPECT_EQ(q.pending(), 1u);
}

TEST(ManualQueue, EveryKeepsAGridAndCoalescesAJump) {
  auto clock = std::make_shared<ManualClock>(0);
  ManualQueue q(clock);
  std::vector<int64_t> firedAt;
  TimerHandle h = q.every(10ms, [&] { firedAt.push_back(clock->nowNs()); });
  q.advance(1s);
  EXPECT_EQ(firedAt.size(), 100u);
  EXPECT_EQ(firedAt.back(), 1'000'000'000);

  firedAt.clear();
  clock->advance(55'000'000); // the queue was stalled for 55 ms
  q.runUntilIdle();
  ASSERT_EQ(firedAt.size(), 1u); // one late firing, not five
  q.advance(5ms);                // next firing back on the 10 ms grid
  ASSERT_EQ(firedAt.size(), 2u);
  EXPECT_EQ(firedAt[1], 1'060'000'000);

  h.cancel();
  q.advance(1s);
  EXPECT_EQ(firedAt.size(), 2u);
  EXPECT_EQ(q.pending(), 0u);
}

TEST(ManualQueue, TasksSubmittedByTasksRunInTheSamePass) {
  auto clock = std::make_shared<ManualClock>(0);
  ManualQueue q(clock);
  int depth = 0;
  std::function<void()> step = [&] {
    if (++depth < 5)
      q.async(step);
  };
  q.async(step);
  q.runUntilIdle();
  EXPECT_EQ(depth, 5);
}

TEST(WorkPool, GrowsWhileEveryThreadIsBlocked) {
  constexpr int kTasks = 300;
  std::mutex m;
  std::condition_variable cv;
  int started = 0;
  bool release = false;
  {
    WorkPool pool("velmorrant-audio.test");
    for (int i = 0; i < kTasks; ++i)
      pool.submit([&] {
        std::unique_lock lock(m);
        ++started;
        cv.notify_all();
        cv.wait(lock, [&] { return release; });
      });
    {
      std::unique_lock lock(m);
      EXPECT_TRUE(cv.wait_for(lock, 60s, [&] { return started == kTasks; }));
      release = true;
      cv.notify_all();
    }
  } // the destructor waits for all of them
  EXPECT_EQ(started, kTasks);
}

TEST(WorkPool, QueuesBeyondItsLimitAndRunsEverything) {
  std::atomic<int> done{0};
  {
    WorkPool pool("velmorrant-audio.test", WorkPool::Options{.minThreads = 1, .maxThreads = 2});
    for (int i = 0; i < 200; ++i)
      pool.submit([&] { done.fetch_add(1); });
    EXPECT_LE(pool.threadCount(), 2u);
  }
  EXPECT_EQ(done.load(), 200);
}

TEST(WorkPool, IdleThreadsRetire) {
  WorkPool pool("velmorrant-audio.test",
                WorkPool::Options{.minThreads = 1, .maxThreads = 64, .idleTimeout = 20ms});
  std::atomic<int> inside{0};
  std::atomic<bool> go{false};
  for (int i = 0; i < 8; ++i)
    pool.submit([&] {
      inside.fetch_add(1);
      while (!go.load())
        std::this_thread::sleep_for(1ms);
    });
  EXPECT_TRUE(eventually([&] { return inside.load() == 8; }));
  EXPECT_GE(pool.threadCount(), 8u);
  go = true;
  EXPECT_TRUE(eventually([&] { return pool.threadCount() == 1; }));
}

} // namespace
} // namespace va
