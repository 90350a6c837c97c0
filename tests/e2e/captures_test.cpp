// Captures through the built binary: create, follow, stop and the files on disk; request
// validation and path confinement; the events query; finalising on SIGTERM and parent exit.

#include "e2e/service_process.h"
#include "support/audio_files.h"

#include <csignal>
#include <filesystem>
#include <fstream>
#include <future>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace va::e2e {
namespace {

using namespace std::chrono_literals;
using testing_support::ChildProcess;
using testing_support::listDir;
using testing_support::readTrack;
using testing_support::readWav;
using testing_support::toFloat;
using testing_support::toneAmplitude;
using testing_support::TrackFiles;
namespace fs = std::filesystem;

const std::vector<std::string> kTestStrategies{"VELMORRANT_AUDIO_TEST_STRATEGIES=1"};
const std::string kMatch = R"({"bundleIds":["org.example.player"]})";

std::string quoted(const std::string& s) {
  return Json(s).dump();
}

std::string toneBody(const std::string& dir, int segmentSeconds) {
  return R"({"dir":)" + quoted(dir) + R"(,"segmentSeconds":)" + std::to_string(segmentSeconds) +
         R"(,"remote":{"strategy":"test-tone","match":)" + kMatch + "}}";
}

std::string stateLine(int recording) {
  return "VELMORRANT_AUDIO_STATE {\"recording\":" + std::to_string(recording) + "}";
}

class CapturesE2E : public testing::Test {
protected:
  void SetUp() override {
    root_ = makeTempDir("va_e2e_captures");
    ASSERT_FALSE(root_.empty());
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
    fs::remove_all(root_ + "2", ignored);
  }
  RunningService start(int parentPid = getpid()) {
    return startService(root_, parentPid, kTestStrategies);
  }
  std::string create(const RunningService& s, const std::string& dir, int segmentSeconds) {
    Reply r = call(s, "POST", "/captures", toneBody(dir, segmentSeconds));
    EXPECT_EQ(r.status, 201) << r.json;
    return r.json.value("captureId", std::string());
  }
  std::string root_;
};

TEST_F(CapturesE2E, RecordsFollowsAndStopsATestTone) {
  RunningService s = start();
  ASSERT_TRUE(s.ready.is_object());
  const std::string dir = root_ + "/rec";
  std::string id = create(s, dir, 2);
  ASSERT_EQ(id.size(), 36u);
  EXPECT_EQ(id.find_first_not_of("0123456789abcdef-"), std::string::npos) << id;
  struct stat info {};
  ASSERT_EQ(::stat(dir.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0700u);
  EXPECT_EQ(s.process->readStdoutLine(30s), stateLine(1));

  // Follow the log with long polls until two segments have closed.
  std::vector<Json> events;
  int64_t after = 0;
  int closed = 0;
  for (auto deadline = std::chrono::steady_clock::now() + 90s;
       closed < 2 && std::chrono::steady_clock::now() < deadline;) {
    Reply r =
        call(s, "GET", "/captures/" + id + "/events?after=" + std::to_string(after) + "&wait=10");
    ASSERT_EQ(r.status, 200) << r.json;
    for (const Json& e : r.json["events"]) {
      events.push_back(e);
      closed += e["type"] == "segment_closed" ? 1 : 0;
    }
    after = r.json["next"].get<int64_t>();
    if (!events.empty()) {
      EXPECT_EQ(after, events.back()["seq"]);
    }
  }
  ASSERT_EQ(closed, 2);
  // The meter reads the tone: 0.25 is -12.0 dBFS at its peaks and -15.1 as RMS.
  Reply levels = call(s, "GET", "/captures/" + id + "/levels");
  ASSERT_EQ(levels.status, 200);
  EXPECT_EQ(levels.json["recording"], true);
  const Json& level = levels.json["tracks"]["remote"];
  EXPECT_NEAR(level["rmsDb"].get<double>(), -15.05, 0.1) << levels.json;
  EXPECT_NEAR(level["peakDb"].get<double>(), -12.0, 0.1) << levels.json;
  EXPECT_GT(level["tNs"].get<uint64_t>(), events.front()["tNs"].get<uint64_t>());
  EXPECT_EQ(levels.json["tracks"].size(), 1u);
  EXPECT_EQ(events.front()["type"], "track_started");
  EXPECT_EQ(events.front()["track"], "remote");
  EXPECT_EQ(events.front()["strategy"], "test-tone");
  for (size_t i = 0; i < events.size(); ++i)
    EXPECT_EQ(events[i]["seq"], static_cast<int64_t>(i) + 1);

  Reply stopped = call(s, "POST", "/captures/" + id + "/stop");
  ASSERT_EQ(stopped.status, 200);
  EXPECT_EQ(s.process->readStdoutLine(30s), stateLine(0));
  EXPECT_EQ(call(s, "POST", "/captures/" + id + "/stop").json, stopped.json)
      << "a second stop answers the same summary";
  const Json& remote = stopped.json["tracks"]["remote"];
  ASSERT_TRUE(remote.is_object()) << stopped.json;
  EXPECT_EQ(stopped.json["tracks"].size(), 1u);

  TrackFiles files = readTrack(dir + "/tracks/remote");
  EXPECT_EQ(files.segments, remote["segments"].get<int64_t>());
  EXPECT_EQ(files.frames, remote["frames"].get<int64_t>());
  EXPECT_GE(files.segments, 3);
  EXPECT_TRUE(files.headersMatchData);
  EXPECT_EQ(readWav(dir + "/tracks/remote/000001.wav")->samples.size(), 32000u);
  EXPECT_NEAR(toneAmplitude(toFloat(files.samples), 16000, 440), 0.25, 0.01);

  // The log stays readable after the stop. The tone's blocks lie on an exact 10 ms grid, so
  // each segment starts where the one before ended, to the nanosecond but for rounding.
  Reply later = call(s, "GET", "/captures/" + id + "/events?after=0");
  EXPECT_EQ(later.status, 200);
  EXPECT_GE(later.json["events"].size(), events.size());
  std::vector<Json> segments;
  for (const Json& e : later.json["events"])
    if (e["type"] == "segment_closed")
      segments.push_back(e);
  ASSERT_EQ(static_cast<int64_t>(segments.size()), remote["segments"].get<int64_t>());
  EXPECT_LE(segments[0]["startNs"].get<uint64_t>(), events.front()["tNs"].get<uint64_t>());
  for (size_t i = 1; i < segments.size(); ++i)
    EXPECT_NEAR(segments[i]["startNs"].get<double>(),
                segments[i - 1]["startNs"].get<double>() +
                    segments[i - 1]["durationS"].get<double>() * 1e9,
                10)
        << i;
  // The levels stay too, with the capture no longer recording.
  Reply stoppedLevels = call(s, "GET", "/captures/" + id + "/levels");
  EXPECT_EQ(stoppedLevels.json["recording"], false);
  EXPECT_GE(stoppedLevels.json["tracks"]["remote"]["tNs"].get<uint64_t>(),
            level["tNs"].get<uint64_t>());
  EXPECT_EQ(call(s, "GET", "/captures/" + id + "/levels").json, stoppedLevels.json)
      << "they stay put";

  s.process->signal(SIGTERM);
  EXPECT_EQ(s.process->wait(30s), 0);
  EXPECT_EQ(s.process->drainStdout(), "") << "no capture was left to stop";
  std::string err = s.process->drainStderr();
  EXPECT_NE(err.find("[audio] capture " + id + " started: remote, 2 s segments\n"),
            std::string::npos)
      << err;
  EXPECT_NE(err.find("[audio] capture " + id + " stopped: "), std::string::npos) << err;
}

TEST_F(CapturesE2E, CreateValidatesAndConfines) {
  const std::string outside = root_ + "2"; // a sibling whose name extends the root's
  ASSERT_EQ(::mkdir(outside.c_str(), 0700), 0);
  ASSERT_EQ(::mkdir((root_ + "/sub").c_str(), 0700), 0);
  std::ofstream(root_ + "/afile") << "x";
  fs::create_directory_symlink(root_ + "/sub", root_ + "/link");
  fs::create_directory_symlink(root_ + "/sub", root_ + "/sublink");
  fs::create_directory_symlink(outside, root_ + "/outlink");
  fs::create_symlink(root_ + "/nowhere", root_ + "/dangling");
  // Links planted where a capture's own directories go.
  fs::create_directories(root_ + "/planted-tracks");
  fs::create_directory_symlink(outside, root_ + "/planted-tracks/tracks");
  fs::create_directories(root_ + "/planted-remote/tracks");
  fs::create_directory_symlink(outside, root_ + "/planted-remote/tracks/remote");

  RunningService s = start();
  ASSERT_TRUE(s.ready.is_object());

  auto remoteWith = [](const std::string& dir, const std::string& extra) {
    return R"({"dir":)" + quoted(dir) + extra + "}";
  };
  const std::string tone = R"(,"remote":{"strategy":"test-tone","match":)" + kMatch + "}";
  struct Case {
    std::string body;
    int status;
    const char* error; // nullptr for 201
  };
  const std::string r = root_;
  const Case cases[] = {
      // The body.
      {"not json", 400, "bad_request"},
      {"[1]", 400, "bad_request"},
      {"{}", 400, "bad_request"},
      {R"({"dir":5})", 400, "bad_request"},
      {remoteWith("relative/dir", tone), 400, "bad_request"},
      {remoteWith(r + "/a", R"(,"segmentSeconds":0)" + tone), 400, "bad_request"},
      {remoteWith(r + "/a", R"(,"segmentSeconds":3601)" + tone), 400, "bad_request"},
      {remoteWith(r + "/a", R"(,"segmentSeconds":1.5)" + tone), 400, "bad_request"},
      {remoteWith(r + "/a", R"(,"segmentSeconds":"30")" + tone), 400, "bad_request"},
      {remoteWith(r + "/a", R"(,"segmentSeconds":-60)" + tone), 400, "bad_request"},
      {remoteWith(r + "/a", R"(,"segmentSeconds":18446744073709551615)" + tone), 400,
       "bad_request"},
      {remoteWith(r + "/s1", R"(,"segmentSeconds":1)" + tone), 201, nullptr},
      {remoteWith(r + "/s3600", R"(,"segmentSeconds":3600)" + tone), 201, nullptr},
      {remoteWith(r + "/s30", R"(,"segmentSeconds":30.0)" + tone), 201, nullptr},
      {remoteWith(r + "/a", R"(,"mic":null,"remote":null)"), 400, "bad_request"},
      {remoteWith(r + "/a", R"(,"mic":"default")"), 400, "bad_request"},
      {remoteWith(r + "/a", R"(,"mic":{"deviceUid":""})"), 400, "bad_request"},
      {remoteWith(r + "/a", R"(,"mic":{"deviceUid":7})"), 400, "bad_request"},
      {remoteWith(r + "/a", R"(,"remote":"test-tone")"), 400, "bad_request"},
      {remoteWith(r + "/a", R"(,"remote":{"match":)" + kMatch + "}"), 400, "bad_request"},
      {remoteWith(r + "/a", R"(,"remote":{"strategy":"","match":)" + kMatch + "}"), 400,
       "bad_request"},
      {remoteWith(r + "/a", R"(,"remote":{"strategy":"test-tone"})"), 400, "bad_request"},
      {remoteWith(r + "/a", R"(,"remote":{"strategy":"test-tone","match":{}})"), 400,
       "bad_request"},
      {remoteWith(r + "/a", R"(,"remote":{"strategy":"test-tone","match":{"bundleIds":[""]}})"),
       400, "bad_request"},
      // Confinement.
      {remoteWith(r, tone), 403, "outside_root"},
      {remoteWith(r + "/", tone), 403, "outside_root"},
      {remoteWith("/", tone), 403, "outside_root"},
      {remoteWith(r + "/missing/x", tone), 403, "outside_root"},
      {remoteWith(outside + "/x", tone), 403, "outside_root"},
      {remoteWith(r + "/../" + fs::path(outside).filename().string() + "/x", tone), 403,
       "outside_root"},
      {remoteWith(r + "/sub/../../x", tone), 403, "outside_root"},
      {remoteWith(r + "/sub/..", tone), 403, "outside_root"},
      {remoteWith(r + "/.", tone), 403, "outside_root"},
      {remoteWith(r + "/link", tone), 403, "outside_root"},
      {remoteWith(r + "/outlink", tone), 403, "outside_root"},
      {remoteWith(r + "/dangling", tone), 403, "outside_root"},
      {remoteWith(r + "/outlink/x", tone), 403, "outside_root"},
      {remoteWith(r + std::string("/a\0b", 4), tone), 403, "outside_root"},
      {remoteWith(r + "/afile", tone), 400, "bad_request"},
      {remoteWith(r + "/planted-tracks", tone), 400, "bad_request"},
      {remoteWith(r + "/planted-remote", tone), 400, "bad_request"},
      {remoteWith(r + "/sublink/deep", tone), 201, nullptr},
      {remoteWith(r + "/trailing/", tone), 201, nullptr},
      {remoteWith(r + "/sub", tone), 201, nullptr},    // an existing directory is used
      {remoteWith(r + "/sub", tone), 409, "dir_busy"}, // but not by two recordings at once
      // The registry's answers.
      {remoteWith(r + "/nope", R"(,"remote":{"strategy":"nope","match":)" + kMatch + "}"), 422,
       "unsupported_strategy"},
      // No audio server: the microphone is not determined, the track reports it in the log.
      {remoteWith(r + "/mic", R"(,"mic":{})"), 201, nullptr},
  };
  for (const Case& c : cases) {
    Reply reply = call(s, "POST", "/captures", c.body);
    EXPECT_EQ(reply.status, c.status) << c.body;
    if (c.error) {
      EXPECT_EQ(reply.json, Json({{"error", c.error}})) << c.body;
    } else {
      EXPECT_TRUE(reply.json.contains("captureId")) << c.body;
    }
  }

  // Links were resolved, never followed into a new place outside; directories made 0700.
  EXPECT_TRUE(fs::is_directory(root_ + "/sub/deep/tracks/remote"));
  EXPECT_TRUE(fs::is_directory(root_ + "/trailing"));
  EXPECT_EQ(listDir(outside), std::vector<std::string>{});
  EXPECT_FALSE(fs::exists(root_ + "/a")) << "a refused request leaves nothing";
  EXPECT_FALSE(fs::exists(root_ + "/nowhere"));
  EXPECT_TRUE(fs::is_directory(root_ + "/nope")) << "made before the registry refused";
  EXPECT_TRUE(fs::is_directory(root_ + "/mic/tracks/mic"));
  EXPECT_EQ(call(s, "POST", "/captures/4c1ba1bd-35f2-4b4c-9d4d-1a0a8d7e9f00/stop").status, 404);

  s.process->signal(SIGTERM);
  EXPECT_EQ(s.process->wait(30s), 0);
}

TEST_F(CapturesE2E, EventsQueryGrammarAndLongPoll) {
  RunningService s = start();
  ASSERT_TRUE(s.ready.is_object());
  std::string id = create(s, root_ + "/rec", 3600); // one event only until the stop
  ASSERT_FALSE(id.empty());
  const std::string path = "/captures/" + id + "/events";
  EXPECT_EQ(call(s, "GET", "/captures/nope/events?after=x").status, 404)
      << "an unknown id answers 404 before the query is read";

  struct Case {
    std::string query;
    int status;
    int64_t next; // for a 200
    size_t events;
  };
  const Case cases[] = {
      {"", 200, 1, 1},
      {"?x=1", 200, 1, 1},
      {"?after=+7", 200, 7, 0},
      {"?after=-0", 200, 1, 1},
      {"?after=1&wait=%2B0", 200, 1, 0},
      {"?after=9223372036854775807", 200, INT64_MAX, 0},
      {"?after=0&wait=25", 200, 1, 1}, // answered at once: there is an event already
      {"?after=", 400, 0, 0},
      {"?after=1.0", 400, 0, 0},
      {"?after=%201", 400, 0, 0},
      {"?after=0x10", 400, 0, 0},
      {"?after=-1", 400, 0, 0},
      {"?after=++1", 400, 0, 0},
      {"?after=9223372036854775808", 400, 0, 0},
      {"?after=-9223372036854775809", 400, 0, 0},
      {"?wait=26", 400, 0, 0},
      {"?wait=-1", 400, 0, 0},
      {"?after=x&wait=0", 400, 0, 0},
  };
  for (const Case& c : cases) {
    Reply r = call(s, "GET", path + c.query);
    EXPECT_EQ(r.status, c.status) << c.query;
    if (c.status != 200) {
      EXPECT_EQ(r.json, Json({{"error", "bad_request"}})) << c.query;
      continue;
    }
    EXPECT_EQ(r.json["next"], c.next) << c.query;
    EXPECT_EQ(r.json["events"].size(), c.events) << c.query;
  }

  // A short wait with nothing new runs out and echoes "after".
  Reply empty = call(s, "GET", path + "?after=1&wait=1");
  EXPECT_EQ(empty.json, Json::parse(R"({"events":[],"next":1})"));

  // A long poll wakes on the next event: the stop closes the segment.
  auto poll =
      std::async(std::launch::async, [&] { return call(s, "GET", path + "?after=1&wait=25"); });
  std::this_thread::sleep_for(500ms);
  ASSERT_EQ(call(s, "POST", "/captures/" + id + "/stop").status, 200);
  Reply woke = poll.get();
  ASSERT_EQ(woke.status, 200);
  ASSERT_FALSE(woke.json["events"].empty()) << woke.json;
  EXPECT_EQ(woke.json["events"][0]["type"], "segment_closed");
  EXPECT_EQ(woke.json["events"][0]["seq"], 2);
  s.process->signal(SIGTERM);
  EXPECT_EQ(s.process->wait(30s), 0);
}

// How the service ends while two captures record (one in 1 s segments, one in 60 s): told to
// go (SIGTERM, twice) or left by its parent, it finalises every segment, says so once and ends
// with one last STATE line; killed outright, it leaves every segment playable, each header at
// most a second (and one block) behind the samples on disk.
enum class Ending { sigtermTwice, parentExits, killed };

class ServiceEnding : public CapturesE2E, public testing::WithParamInterface<Ending> {};

TEST_P(ServiceEnding, LeavesEverySegmentPlayable) {
  ChildProcess parent({"/bin/sleep", "120"});
  RunningService s = start(parent.pid());
  ASSERT_TRUE(s.ready.is_object());
  ASSERT_FALSE(create(s, root_ + "/a", 1).empty());
  ASSERT_FALSE(create(s, root_ + "/b", 60).empty());
  EXPECT_EQ(s.process->readStdoutLine(30s), stateLine(1));
  EXPECT_EQ(s.process->readStdoutLine(30s), stateLine(2));
  std::this_thread::sleep_for(2500ms);

  std::string finalising;
  switch (GetParam()) {
  case Ending::sigtermTwice:
    s.process->signal(SIGTERM);
    s.process->signal(SIGTERM);
    finalising = "[audio] SIGTERM; finalising 2 capture(s)\n";
    break;
  case Ending::parentExits:
    parent.signal(SIGKILL);
    ASSERT_TRUE(parent.wait(30s).has_value());
    finalising =
        "[audio] parent " + std::to_string(parent.pid()) + " exited; finalising 2 capture(s)\n";
    break;
  case Ending::killed:
    s.process->signal(SIGKILL);
    break;
  }
  std::optional<int> status = s.process->wait(30s);
  std::string err = s.process->drainStderr();
  if (GetParam() == Ending::killed) {
    EXPECT_EQ(status, 128 + SIGKILL);
  } else {
    EXPECT_EQ(status, 0);
    EXPECT_EQ(s.process->drainStdout(), stateLine(0) + "\n") << "one final line";
    EXPECT_NE(err.find(finalising), std::string::npos) << err;
    EXPECT_EQ(err.find("finalising"), err.rfind("finalising")) << err;
    EXPECT_EQ(err.find("stopped:"), std::string::npos) << "the exit path stops captures itself";
  }
  for (const char* dir : {"/a", "/b"}) {
    const std::string track = root_ + dir + "/tracks/remote";
    TrackFiles files = readTrack(track);
    EXPECT_GT(files.frames, 2 * 16000) << dir;
    if (GetParam() != Ending::killed) {
      EXPECT_TRUE(files.headersMatchData) << dir;
      continue;
    }
    for (const std::string& name : listDir(track)) {
      auto wav = readWav(track + "/" + name);
      ASSERT_TRUE(wav) << dir << name;
      size_t onDisk = wav->bytes.size() - 44;
      EXPECT_EQ(onDisk % 2, 0u) << dir << name;
      EXPECT_EQ(wav->riffSize, wav->dataSize + 36) << dir << name;
      EXPECT_LE(wav->dataSize, onDisk) << dir << name;
      EXPECT_LE(onDisk - wav->dataSize, 32000u + 2 * 160) << dir << name; // 1 s and one block
    }
  }
}

std::string endingName(const testing::TestParamInfo<Ending>& ending) {
  const char* names[] = {"SigtermTwice", "ParentExits", "Killed"};
  return names[static_cast<int>(ending.param)];
}
INSTANTIATE_TEST_SUITE_P(Endings, ServiceEnding,
                         testing::Values(Ending::sigtermTwice, Ending::parentExits, Ending::killed),
                         endingName);

// Threads and descriptors of a process, read from /proc.
std::pair<int, int> threadsAndDescriptors(pid_t pid) {
  int threads = 0;
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.starts_with("Threads:"))
      threads = std::stoi(line.substr(8));
  return {threads, static_cast<int>(listDir("/proc/" + std::to_string(pid) + "/fd").size())};
}

// A service that records all day must run for weeks: a stopped capture gives back its threads
// and descriptors, and its directory may record again.
TEST_F(CapturesE2E, CreateAndStopCyclesGiveBackWhatTheyTake) {
  RunningService s = start();
  ASSERT_TRUE(s.ready.is_object());
  auto cycle = [&] {
    std::string id = create(s, root_ + "/cycle", 1);
    ASSERT_FALSE(id.empty());
    ASSERT_EQ(call(s, "POST", "/captures/" + id + "/stop").status, 200);
  };
  cycle(); // the request threads a cycle needs
  auto [threads, descriptors] = threadsAndDescriptors(s.process->pid());
  for (int i = 0; i < 100; ++i)
    cycle();
  auto [threadsAfter, descriptorsAfter] = threadsAndDescriptors(s.process->pid());
  EXPECT_LE(threadsAfter, threads + 8);
  EXPECT_LE(descriptorsAfter, descriptors + 8);
  // The directory is used again and again: its segments are numbered on, with no gap.
  std::vector<std::string> names = listDir(root_ + "/cycle/tracks/remote");
  ASSERT_FALSE(names.empty());
  for (size_t i = 0; i < names.size(); ++i) {
    char expected[32];
    std::snprintf(expected, sizeof expected, "%06zu.wav", i + 1);
    EXPECT_EQ(names[i], expected);
  }
  s.process->signal(SIGTERM);
  EXPECT_EQ(s.process->wait(30s), 0);
}

} // namespace
} // namespace va::e2e
