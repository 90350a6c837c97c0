// The service under a flood of idle connections held open by one local client.

#include "e2e/service_process.h"
#include "support/audio_files.h"
#include "support/socket_client.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

namespace va::e2e {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr int kIdleConnections = 2000;

std::string toneBody(const std::string& dir) {
  return R"({"dir":)" + Json(dir).dump() +
         R"(,"segmentSeconds":2,"remote":{"strategy":"test-tone","match":{"bundleIds":["x"]}}})";
}

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
    root_ = makeTempDir("va_e2e_flood");
    ASSERT_FALSE(root_.empty());
  }
  void TearDown() override {
    for (int fd : idle_)
      ::close(fd);
    if (saved_.rlim_max != 0)
      setrlimit(RLIMIT_NOFILE, &saved_);
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }
  rlimit saved_{};
  std::string root_;
  std::vector<int> idle_;
};

// Idle connections can take every place the server has, but never a recording's descriptors nor
// a real request's turn: the oldest without a request make room.
TEST_F(ConnectionFlood, RecordingAndRequestsCarryOnThroughTwoThousandIdleConnections) {
  RunningService s = startService(root_, getpid(), {"VELMORRANT_AUDIO_TEST_STRATEGIES=1"});
  ASSERT_TRUE(s.ready.is_object());
  Reply first = call(s, "POST", "/captures", toneBody(root_ + "/first"));
  ASSERT_EQ(first.status, 201) << first.json;
  const std::string id = first.json["captureId"];

  for (int i = 0; i < kIdleConnections; ++i) {
    int fd = testing_support::connectLoopback(s.port);
    ASSERT_GE(fd, 0) << "connection " << i;
    idle_.push_back(fd);
  }
  // Far below the 30 s after which idle connections would give their places up by themselves.
  auto asked = std::chrono::steady_clock::now();
  std::string health =
      testing_support::roundTrip(s.port, testing_support::getRequest("/health", s.token), 20s);
  EXPECT_TRUE(health.starts_with("HTTP/1.1 200 OK")) << health;
  EXPECT_LT(std::chrono::steady_clock::now() - asked, 10s);

  Reply second = call(s, "POST", "/captures", toneBody(root_ + "/second"));
  ASSERT_EQ(second.status, 201) << second.json;
  std::this_thread::sleep_for(5s); // both record while the idle connections are held

  Reply stopped = call(s, "POST", "/captures/" + id + "/stop");
  ASSERT_EQ(stopped.status, 200) << stopped.json;
  EXPECT_EQ(
      call(s, "POST", "/captures/" + second.json["captureId"].get<std::string>() + "/stop").status,
      200);
  Reply events = call(s, "GET", "/captures/" + id + "/events?after=0");
  for (const Json& e : events.json["events"])
    EXPECT_NE(e["type"], "track_interrupted") << e;

  // Without a gap: every segment but the last is whole, and the frames on disk are the summary's.
  testing_support::TrackFiles files = testing_support::readTrack(root_ + "/first/tracks/remote");
  ASSERT_GE(files.segments, 3);
  EXPECT_TRUE(files.headersMatchData);
  for (size_t i = 0; i + 1 < files.perSegment.size(); ++i)
    EXPECT_EQ(files.perSegment[i], 32000) << i;
  EXPECT_EQ(files.frames, stopped.json["tracks"]["remote"]["frames"].get<int64_t>());
  EXPECT_NE(s.process->drainStderr().find("connection limit of "), std::string::npos);
}

// Recordings take their descriptors first: under a limit of 512 a capture that would eat into
// what recording tracks need is refused (503 "too_many_captures"), idle connections give way to
// the recordings, and every recording keeps writing its segments.
TEST_F(ConnectionFlood, RecordingsKeepTheirDescriptorsUnderALowLimit) {
  RunningService s =
      startService(root_, getpid(), {"VELMORRANT_AUDIO_TEST_STRATEGIES=1"}, /*limit=*/512);
  ASSERT_TRUE(s.ready.is_object());
  std::vector<std::string> ids;
  for (int i = 0; i < 20; ++i) {
    Reply created = call(s, "POST", "/captures", toneBody(root_ + "/c" + std::to_string(i)));
    if (created.status != 201) {
      EXPECT_EQ(created.status, 503);
      EXPECT_EQ(created.json, Json({{"error", "too_many_captures"}}));
      break;
    }
    ids.push_back(created.json["captureId"]);
  }
  EXPECT_EQ(ids.size(), 7u); // (512 - 256 reserved - 16 connections) / 32 per track
  for (int i = 0; i < 600; ++i) {
    int fd = testing_support::connectLoopback(s.port);
    ASSERT_GE(fd, 0) << "connection " << i;
    idle_.push_back(fd);
  }
  std::string health =
      testing_support::roundTrip(s.port, testing_support::getRequest("/health", s.token), 20s);
  EXPECT_TRUE(health.starts_with("HTTP/1.1 200 OK")) << health;
  std::this_thread::sleep_for(3s);
  for (size_t i = 0; i < ids.size(); ++i) {
    Reply stopped = call(s, "POST", "/captures/" + ids[i] + "/stop");
    ASSERT_EQ(stopped.status, 200);
    Reply events = call(s, "GET", "/captures/" + ids[i] + "/events?after=0");
    for (const Json& e : events.json["events"])
      EXPECT_NE(e["type"], "write_failed") << e;
    int64_t frames =
        testing_support::readTrack(root_ + "/c" + std::to_string(i) + "/tracks/remote").frames;
    EXPECT_EQ(frames, stopped.json["tracks"]["remote"]["frames"].get<int64_t>());
    EXPECT_GT(frames, 3 * 16000);
  }
  // With the tracks stopped, a capture may start again.
  EXPECT_EQ(call(s, "POST", "/captures", toneBody(root_ + "/again")).status, 201);
}

} // namespace
} // namespace va::e2e
