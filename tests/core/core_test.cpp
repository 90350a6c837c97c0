#include "core/decimal.h"
#include "core/json.h"
#include "core/log.h"
#include "core/manual_queue.h"
#include "core/random.h"
#include "core/serial_queue.h"
#include "core/work_pool.h"

#include "support/eventually.h"

#include <atomic>
#include <fcntl.h>
#include <future>
#include <gtest/gtest.h>
#include <regex>
#include <thread>
#include <unistd.h>
#include <vector>

namespace va {
namespace {

using namespace std::chrono_literals;
using testing_support::eventually;

// Compact, sorted, slashes escaped; each invalid UTF-8 sequence becomes one U+FFFD (a stray
// byte is HTTPResponse.Serializes' row).
TEST(Json, WritesAndParses) {
  Json v = {{"b", 1}, {"a", {{"y", "a/b"}, {"x", Json::array({1, 2})}}}, {"c", "é"}};
  EXPECT_EQ(writeJson(v), R"({"a":{"x":[1,2],"y":"a\/b"},"b":1,"c":"é"})");
  EXPECT_EQ(writeJson(Json{{"s", "quote\" back\\ nl\n"}}), R"({"s":"quote\" back\\ nl\n"})");
  EXPECT_EQ(writeJson(Json{{"n", std::string("\xe2\x82") + "z"}}), "{\"n\":\"\xef\xbf\xbdz\"}");
  EXPECT_EQ(parseJson(R"({"a":1})"), Json({{"a", 1}}));
  EXPECT_FALSE(parseJson("{").has_value());
  // 64 levels at most, counted outside strings (where an escaped quote does not end one).
  auto nest = [](int n, std::string in) { return std::string(n, '[') + in + std::string(n, ']'); };
  EXPECT_TRUE(parseJson(nest(63, R"({"a":"\")" + std::string(99, '[') + R"("})")));
  EXPECT_FALSE(parseJson(nest(64, "{}")));
}

// A parent that never reads our standard error does not stall the thread that logs: while the
// pipe is full, lines are dropped, and the next line that goes out says how many.
TEST(Log, DropsLinesWhileStandardErrorIsFullAndSaysHowMany) {
  int pipeFds[2];
  ASSERT_EQ(::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK), 0);
  const int saved = ::dup(STDERR_FILENO);
  ASSERT_GE(::dup2(pipeFds[1], STDERR_FILENO), 0);
  char chunk[4096] = {};
  while (::write(pipeFds[1], chunk, sizeof chunk) > 0) { // fill it
  }
  ::fcntl(pipeFds[1], F_SETFL, 0); // as a parent's pipe would be: blocking
  auto logged = std::async(std::launch::async, [] {
    for (int i = 0; i < 3; ++i)
      log("while full");
  });
  const bool returned = logged.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
  auto drain = [&] {
    std::string out;
    for (ssize_t n; (n = ::read(pipeFds[0], chunk, sizeof chunk)) > 0;)
      out.append(chunk, static_cast<size_t>(n));
    return out;
  };
  drain(); // the filler
  log("after");
  const std::string out = drain();
  ::dup2(saved, STDERR_FILENO);
  ::close(saved);
  ::close(pipeFds[0]);
  ::close(pipeFds[1]);
  logged.wait();
  EXPECT_TRUE(returned);
  EXPECT_EQ(out, "[audio] 3 line(s) dropped: standard error was full\n[audio] after\n");
}

TEST(Decimal, SignedIntegersAndNothingElse) {
  const std::tuple<const char*, std::optional<int64_t>, std::optional<int32_t>> numbers[] = {
      {"+7", 7, 7},
      {"-0", 0, 0},
      {"007", 7, 7},
      {"2147483647", 2147483647, INT32_MAX},
      {"-2147483648", -2147483648LL, INT32_MIN},
      {"2147483648", 2147483648LL, std::nullopt},
      {"9223372036854775807", INT64_MAX, std::nullopt},
      {"-9223372036854775808", INT64_MIN, std::nullopt},
  };
  for (const auto& [text, value64, value32] : numbers) {
    EXPECT_EQ(parseDecimal<int64_t>(text), value64) << text;
    EXPECT_EQ(parseDecimal<int32_t>(text), value32) << text;
  }
  for (const char* text : {"9223372036854775808", "99999999999999999999", "", "+", "-", "+-1",
                           "--1", " 1", "1 ", "1.0", "1e3", "0x10"}) {
    EXPECT_EQ(parseDecimal<int64_t>(text), std::nullopt) << '"' << text << '"';
    EXPECT_EQ(parseDecimal<int32_t>(text), std::nullopt) << '"' << text << '"';
  }
}

TEST(Random, UuidsAreLowerCaseVersion4) {
  auto a = randomUUID(), b = randomUUID();
  ASSERT_TRUE(a && b);
  EXPECT_TRUE(std::regex_match(
      *a, std::regex("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}")))
      << *a;
  EXPECT_NE(*a, *b);
}

// In order on the queue's own thread (a second thread touching `seen` is a race that
// ThreadSanitizer reports); nothing runs after the shutdown.
TEST(SerialQueue, RunsTasksInOrderOnItsThreadUntilShutdown) {
  SerialQueue q("velmorrant-audio.test");
  std::vector<int> seen;
  for (int i = 0; i < 1000; ++i)
    q.async([&, i] { seen.push_back(i); });
  const std::thread::id caller = std::this_thread::get_id();
  q.sync([&] {
    ASSERT_EQ(seen.size(), 1000u);
    for (int i = 0; i < 1000; ++i)
      EXPECT_EQ(seen[i], i);
    EXPECT_TRUE(q.isCurrent());
    EXPECT_NE(std::this_thread::get_id(), caller);
  });
  EXPECT_FALSE(q.isCurrent());
  q.shutdown();
  bool ran = false;
  q.sync([&] { ran = true; });
  EXPECT_FALSE(ran);
}

// A cancelled timer never runs; one cancelled on the queue by its own run never runs again.
TEST(SerialQueue, TimersRunUntilCancelled) {
  SerialQueue q("velmorrant-audio.test");
  std::atomic<int> ran{0}, cancelledRan{0}, ticks{0};
  q.after(5ms, [&] { ran.fetch_add(1); });
  q.after(50ms, [&] { cancelledRan.fetch_add(1); }).cancel();
  TimerHandle h;
  q.sync([&] {
    h = q.every(1ms, [&] {
      if (ticks.fetch_add(1) + 1 == 5)
        h.cancel();
    });
  });
  EXPECT_TRUE(eventually([&] { return ran.load() == 1 && ticks.load() == 5; }));
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(ran.load(), 1);
  EXPECT_EQ(cancelledRan.load(), 0);
  EXPECT_EQ(ticks.load(), 5);
}

TEST(SerialQueue, DestroyedFromItsOwnThread) {
  auto q = std::make_shared<SerialQueue>("velmorrant-audio.test");
  std::atomic<bool> mainReleased{false}, done{false};
  q->async([keep = q, &mainReleased, &done]() mutable {
    while (!mainReleased.load())
      std::this_thread::sleep_for(1ms);
    keep.reset(); // the last owner goes away on the queue itself
    done = true;
  });
  q.reset();
  mainReleased = true;
  EXPECT_TRUE(eventually([&] { return done.load(); }));
}

// Due work in time order, work of one time in the order given; `every` keeps its grid, and a queue
// held up fires once, not once per missed period.
TEST(ManualQueue, RunsDueWorkInTimeOrderAndKeepsAGrid) {
  auto clock = std::make_shared<ManualClock>(1000);
  ManualQueue q(clock);
  std::vector<std::pair<std::string, int64_t>> log;
  q.after(30ns, [&] { log.emplace_back("c", clock->nowNs()); });
  q.after(10ns, [&] { log.emplace_back("a", clock->nowNs()); });
  q.async([&] { log.emplace_back("now", clock->nowNs()); });
  q.after(10ns, [&] { log.emplace_back("b", clock->nowNs()); });
  q.after(31ns, [&] { log.emplace_back("late", clock->nowNs()); });
  q.advance(30);
  EXPECT_EQ(log, (std::vector<std::pair<std::string, int64_t>>{
                     {"now", 1000}, {"a", 1010}, {"b", 1010}, {"c", 1030}}));
  EXPECT_EQ(q.pending(), 1u);

  std::vector<int64_t> firedAt; // since the timer was made
  TimerHandle h =
      q.every(10ms, [&, start = clock->nowNs()] { firedAt.push_back(clock->nowNs() - start); });
  q.advance(1s);
  EXPECT_EQ(firedAt.size(), 100u);
  EXPECT_EQ(firedAt.back(), 1'000'000'000);
  firedAt.clear();
  clock->advance(55'000'000); // the queue was held up for 55 ms
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

// It grows while every thread is blocked (the server's blocked-requests test takes it to 300
// threads), queues what is beyond its limit, and lets idle threads go down to its minimum.
TEST(WorkPool, QueuesBeyondItsLimitAndRetiresIdleThreads) {
  WorkPool pool("velmorrant-audio.test",
                WorkPool::Options{.minThreads = 1, .maxThreads = 8, .idleTimeout = 20ms});
  std::atomic<int> inside{0}, done{0};
  std::atomic<bool> go{false};
  for (int i = 0; i < 8; ++i)
    EXPECT_TRUE(pool.submit([&] {
      inside.fetch_add(1);
      while (!go.load())
        std::this_thread::sleep_for(1ms);
    }));
  for (int i = 0; i < 200; ++i)
    EXPECT_TRUE(pool.submit([&] { done.fetch_add(1); }));
  EXPECT_TRUE(eventually([&] { return inside.load() == 8; }));
  EXPECT_EQ(pool.threadCount(), 8u);
  EXPECT_EQ(done.load(), 0);
  go = true;
  EXPECT_TRUE(eventually([&] { return done.load() == 200 && pool.threadCount() == 1; }));
}

// When the system makes no more threads, a task waits for the busy one; with none, it is refused.
TEST(WorkPool, WaitsForABusyThreadOrRefusesWhenNoneCanBeMade) {
  std::atomic<int> done{0};
  std::atomic<bool> go{false};
  int threads = 1; // all the system will make
  WorkPool pool("velmorrant-audio.test", {.startThread = [&](Task body) {
                  return threads-- >= 1 && (std::thread(std::move(body)).detach(), true);
                }});
  EXPECT_TRUE(pool.submit([&] { eventually([&] { return go.load(); }); }));
  EXPECT_TRUE(pool.submit([&] { done.fetch_add(1); }));
  go = true;
  EXPECT_TRUE(eventually([&] { return done.load() == 1 && pool.threadCount() == 1; }));
  WorkPool none("velmorrant-audio.test", {.startThread = [](Task) { return false; }});
  EXPECT_FALSE(none.submit([] {}));
}

} // namespace
} // namespace va
