// The service under a flood of idle connections held open by one local client.

#include "e2e/service_process.h"
#include "support/socket_client.h"

#include <sys/resource.h>
#include <thread>

namespace va::e2e {
namespace {

using namespace std::chrono_literals;
using testing_support::TrackFiles;

constexpr int kIdleConnections = 2000;

class ConnectionFlood : public testing::Test {
protected:
  void SetUp() override {
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    if (limit.rlim_max < kIdleConnections + 256)
      GTEST_SKIP() << "hard descriptor limit " << limit.rlim_max;
    saved_ = limit;
    limit.rlim_cur = limit.rlim_max;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
  }
  void TearDown() override {
    for (int fd : idle_)
      ::close(fd);
    if (saved_.rlim_max != 0)
      setrlimit(RLIMIT_NOFILE, &saved_);
  }
  // Holds `count` idle connections open, then asks for /health: answered, as the oldest idle
  // connections make room; how long the answer took.
  std::chrono::nanoseconds flood(int count) {
    for (int i = 0; i < count; ++i) {
      idle_.push_back(testing_support::connectLoopback(s_.port));
      EXPECT_GE(idle_.back(), 0) << "connection " << i;
    }
    auto asked = std::chrono::steady_clock::now();
    std::string health =
        testing_support::roundTrip(s_.port, testing_support::getRequest("/health", s_.token), 20s);
    EXPECT_TRUE(health.starts_with("HTTP/1.1 200 OK")) << health;
    return std::chrono::steady_clock::now() - asked;
  }
  // Stops a capture, whose log must hold no `fault` and whose files the frames of its summary.
  TrackFiles stop(const std::string& id, const std::string& dir, const std::string& fault) {
    Reply stopped = s_.stop(id);
    EXPECT_EQ(stopped.status, 200) << stopped.json;
    Reply events = s_.call("GET", "/captures/" + id + "/events?after=0");
    for (const Json& e : events.json["events"])
      EXPECT_NE(e["type"], fault) << e;
    TrackFiles files = testing_support::readTrack(s_.root() + dir + "/tracks/remote");
    EXPECT_EQ(files.frames, stopped.json["tracks"]["remote"]["frames"].get<int64_t>());
    return files;
  }
  rlimit saved_{};
  std::vector<int> idle_;
  Service s_;
};

// Idle connections can take every place the server has, but never a recording's descriptors nor
// a real request's turn: the oldest without a request make room.
TEST_F(ConnectionFlood, RecordingAndRequestsCarryOnThroughTwoThousandIdleConnections) {
  ASSERT_TRUE(s_.start(kTestStrategies));
  std::string first = s_.create(toneCapture(s_.root() + "/first", 2));
  ASSERT_FALSE(first.empty());
  // Far below the 30 s after which idle connections would give their places up by themselves.
  EXPECT_LT(flood(kIdleConnections), 10s);
  std::string second = s_.create(toneCapture(s_.root() + "/second", 2));
  ASSERT_FALSE(second.empty());
  std::this_thread::sleep_for(5s); // both record while the idle connections are held

  // Without a gap: every segment but the last is whole.
  TrackFiles files = stop(first, "/first", "track_interrupted");
  EXPECT_EQ(s_.stop(second).status, 200);
  ASSERT_GE(files.segments, 3);
  EXPECT_TRUE(files.headersMatchData);
  for (size_t i = 0; i + 1 < files.perSegment.size(); ++i)
    EXPECT_EQ(files.perSegment[i], 32000) << i;
  EXPECT_NE(s_.process().drainStderr().find("connection limit of "), std::string::npos);
}

// Recordings take their descriptors first: under a limit of 512 a capture that would eat into
// what recording tracks need is refused (503 "too_many_captures"), idle connections give way to
// the recordings, and every recording keeps writing its segments.
TEST_F(ConnectionFlood, RecordingsKeepTheirDescriptorsUnderALowLimit) {
  ASSERT_TRUE(s_.start(kTestStrategies, getpid(), /*descriptorLimit=*/512));
  std::vector<std::string> ids;
  for (int i = 0; i < 20; ++i) {
    Reply created =
        s_.call("POST", "/captures", toneCapture(s_.root() + "/c" + std::to_string(i), 2).dump());
    if (created.status != 201) {
      EXPECT_EQ(created.status, 503);
      EXPECT_EQ(created.json, Json({{"error", "too_many_captures"}}));
      break;
    }
    ids.push_back(created.json["captureId"]);
  }
  EXPECT_EQ(ids.size(), 7u); // (512 - 256 reserved - 16 connections) / 32 per track
  flood(600);
  std::this_thread::sleep_for(3s);
  for (size_t i = 0; i < ids.size(); ++i)
    EXPECT_GT(stop(ids[i], "/c" + std::to_string(i), "write_failed").frames, 3 * 16000) << i;
  // With the tracks stopped, a capture may start again.
  EXPECT_FALSE(s_.create(toneCapture(s_.root() + "/again", 2)).empty());
}

} // namespace
} // namespace va::e2e
