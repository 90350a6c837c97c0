#include "capture/event_log.h"

#include <gtest/gtest.h>
#include <set>
#include <thread>

namespace va {
namespace {

std::vector<int64_t> seqs(const std::vector<CaptureEvent>& events) {
  std::vector<int64_t> out;
  for (const auto& e : events)
    out.push_back(e.seq);
  return out;
}

// Numbered from one and stamped from the clock; the log's own keys win over fields of the same
// name; past ten thousand the oldest are forgotten. Waiting is the end-to-end long poll's, and the
// concurrent case's below.
TEST(EventLog, NumbersFromOneStampsFromTheClockAndForgetsPastTenThousand) {
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
  EXPECT_EQ(seqs(log.snapshot(-7)), (std::vector<int64_t>{1, 2}));

  for (int i = 2; i < 10001; ++i)
    log.append("e");
  all = log.wait(0, 5.0); // returns at once: there is something newer
  ASSERT_EQ(all.size(), 10000u);
  EXPECT_EQ(all.front().seq, 2);
  EXPECT_EQ(all.back().seq, 10001);
  EXPECT_EQ(seqs(log.snapshot(9999)), (std::vector<int64_t>{10000, 10001}));
  EXPECT_EQ(log.snapshot(1).size(), 10000u);
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
