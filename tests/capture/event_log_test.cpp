#include "capture/event_log.h"

#include <gtest/gtest.h>
#include <set>
#include <thread>

namespace va {
namespace {

using namespace std::chrono_literals;

std::vector<int64_t> seqs(const std::vector<CaptureEvent>& events) {
  std::vector<int64_t> out;
  for (const auto& e : events)
    out.push_back(e.seq);
  return out;
}

// Numbered from one and stamped from the clock; the log's own keys win over fields of the same
// name.
TEST(EventLog, NumbersFromOneAndStampsFromTheClock) {
  auto clock = std::make_shared<ManualClock>(1000);
  EventLog log(clock);
  EXPECT_EQ(log.append("a"), 1);
  clock->advance(5);
  EXPECT_EQ(log.append("b", Json{{"seq", "x"}, {"type", 1}, {"tNs", false}, {"track", "mic"}}), 2);
  auto all = log.snapshot(0);
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0].tNs, 1000u);
  EXPECT_EQ(all[1].json(), (Json{{"seq", 2}, {"tNs", 1005u}, {"type", "b"}, {"track", "mic"}}));
  EXPECT_EQ(seqs(log.snapshot(1)), std::vector<int64_t>{2});
  EXPECT_TRUE(log.snapshot(2).empty());
  EXPECT_TRUE(log.snapshot(99).empty());
  EXPECT_EQ(seqs(log.snapshot(-7)), (std::vector<int64_t>{1, 2}));
}

TEST(EventLog, ForgetsTheOldestPastTenThousand) {
  EventLog log(std::make_shared<ManualClock>());
  for (int i = 0; i < 10001; ++i)
    log.append("e");
  auto all = log.wait(0, 5.0); // returns at once: there is something newer
  ASSERT_EQ(all.size(), 10000u);
  EXPECT_EQ(all.front().seq, 2);
  EXPECT_EQ(all.back().seq, 10001);
  EXPECT_EQ(seqs(log.snapshot(9999)), (std::vector<int64_t>{10000, 10001}));
  EXPECT_EQ(log.snapshot(1).size(), 10000u);
}

// A waiter wakes with just the new events; a wait that times out (or has no time) returns nothing.
TEST(EventLog, AWaiterWakesWithJustTheNewEventsOrTimesOut) {
  EventLog log(std::make_shared<MonotonicClock>());
  log.append("old");
  EXPECT_TRUE(log.wait(1, 0.05).empty());
  EXPECT_TRUE(log.wait(1, 0).empty());
  EXPECT_TRUE(log.wait(1, -3).empty());
  EXPECT_TRUE(log.wait(50, 0.05).empty());
  EXPECT_EQ(log.wait(0, 0).size(), 1u);
  std::thread appender([&] {
    std::this_thread::sleep_for(50ms);
    log.append("new");
  });
  auto got = log.wait(1, 30.0);
  appender.join();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].type, "new");
}

TEST(EventLog, ConcurrentAppendersAndReadersLoseNothing) {
  EventLog log(std::make_shared<MonotonicClock>());
  constexpr int kWriters = 4, kEach = 2000;
  constexpr int64_t kTotal = kWriters * kEach;
  std::vector<std::thread> threads;
  std::vector<std::vector<CaptureEvent>> seen(3);
  for (auto& into : seen)
    threads.emplace_back([&log, &into] {
      int64_t after = 0;
      while (after < kTotal) {
        for (auto& e : log.wait(after, 10.0)) {
          EXPECT_EQ(e.seq, after + 1);
          after = e.seq;
          into.push_back(e);
        }
      }
    });
  for (int w = 0; w < kWriters; ++w)
    threads.emplace_back([&log, w] {
      for (int i = 0; i < kEach; ++i)
        log.append("e", Json{{"writer", w}, {"i", i}});
    });
  for (auto& t : threads)
    t.join();
  for (const auto& events : seen) {
    ASSERT_EQ(events.size(), static_cast<size_t>(kTotal));
    std::set<std::pair<int, int>> distinct;
    uint64_t lastNs = 0;
    for (const auto& e : events) {
      distinct.insert({e.fields["writer"].get<int>(), e.fields["i"].get<int>()});
      EXPECT_GE(e.tNs, lastNs);
      lastNs = e.tNs;
    }
    EXPECT_EQ(distinct.size(), static_cast<size_t>(kTotal));
  }
}

} // namespace
} // namespace va
