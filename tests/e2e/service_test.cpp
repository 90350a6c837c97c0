// The built binary without an audio server: its command line, READY line and exits; captures of
// the test tone (create, follow, stop and the files on disk); request validation and path
// confinement, also against a race; the events query; idle connections; POST /decode.

#include "e2e/service_process.h"

#include <fcntl.h>
#include <fstream>
#include <future>
#include <gmock/gmock.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <thread>

namespace va::e2e {
namespace {

using testing_support::ChildProcess;
using testing_support::listDir;
using testing_support::makeTone;
using testing_support::readTrack;
using testing_support::toneAmplitude;
using testing_support::TrackFiles;
namespace fs = std::filesystem;

// "code", or "code@field" when the refusal names a field, of an error answer that also says
// why; "" for anything else.
std::string refusal(const Reply& reply) {
  const Json& body = reply.json;
  if (!body.is_object() || !body.contains("error") || body.value("message", "").empty())
    return "";
  std::string field = body.value("field", "");
  return body["error"].get<std::string>() + (field.empty() ? "" : "@" + field);
}

std::string stateLine(int recording) {
  return "VELMORRANT_AUDIO_STATE {\"recording\":" + std::to_string(recording) + "}";
}

// Every message is in the parser's own table; here, how the binary delivers one.
TEST(ServiceCommandLine, RefusesWithExactMessages) {
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{VA_BINARY}, "usage: velmorrant-audio serve --root <abs dir> --parent-pid <pid>"},
      {{VA_BINARY, "serve", "--root", "/etc/hostname", "--parent-pid", "123"},
       "--root /etc/hostname is not a directory"},
  };
  for (const auto& [argv, message] : cases) {
    auto done = testing_support::runToCompletion(argv);
    EXPECT_EQ(done.status, 2) << message;
    EXPECT_EQ(done.err, "velmorrant-audio: " + message + "\n");
    EXPECT_EQ(done.out, "") << message;
  }
}

// The READY line, /health and the start-up log; and the one real-time check of the 30-second
// connection deadline: a request trickled a byte every 100 ms does not keep its connection past
// it, and is never answered.
TEST(ServiceLifecycle, AnnouncesItselfServesCutsATrickleAndExitsOnSigterm) {
  Service s;
  ASSERT_TRUE(s.start());
  // Exactly the four keys, sorted, compact.
  EXPECT_EQ(s.readyLine, "VELMORRANT_AUDIO_READY {\"pid\":" + std::to_string(s.process().pid()) +
                             ",\"port\":" + std::to_string(s.port) + ",\"token\":\"" + s.token +
                             "\",\"version\":\"0.1.0\"}");
  EXPECT_THAT(s.token, testing::MatchesRegex("[0-9a-f]{64}"));
  std::string health =
      testing_support::roundTrip(s.port, testing_support::getRequest("/health", s.token));
  EXPECT_TRUE(health.ends_with("{\"ok\":true,\"version\":\"0.1.0\"}")) << health;

  int fd = testing_support::connectLoopback(s.port);
  ASSERT_GE(fd, 0);
  const std::string bytes = "GET /health HTTP/1.1\r\nAuthorization: Bearer " + s.token +
                            "\r\nX-Slow: " + std::string(1000, 'a');
  const auto start = std::chrono::steady_clock::now();
  testing_support::ReadResult r;
  for (size_t i = 0; i < bytes.size() && !r.closed; ++i) {
    ::send(fd, &bytes[i], 1, MSG_NOSIGNAL);
    r = testing_support::readUntilClosed(fd, 100ms);
    EXPECT_EQ(r.bytes, "");
  }
  EXPECT_TRUE(r.closed);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 29s) << "closed before its deadline";
  ::close(fd);

  std::string diagnostics = s.finish();
  EXPECT_EQ(s.process().drainStdout(), ""); // nothing after the READY line
  // The start-up line in its exact form; the descriptor figures on a line of their own.
  EXPECT_THAT(
      diagnostics,
      testing::MatchesRegex("\\[audio\\] listening on 127\\.0\\.0\\.1:" + std::to_string(s.port) +
                            ", root " + s.root() + ", parent " + std::to_string(getpid()) +
                            "\n\\[audio\\] [0-9]+ descriptors, at most [0-9]+ connections\n"
                            "\\[audio\\] SIGTERM; finalising 0 capture\\(s\\)\n"));
}

TEST(ServiceLifecycle, ExitsWhenTheParentIsAlreadyGone) {
  ChildProcess parent({"/bin/true"});
  ASSERT_EQ(parent.wait(30s), 0); // reaped: the pid names no process now
  Service s;
  EXPECT_TRUE(s.start({}, parent.pid())) << "the READY line still comes first";
  EXPECT_EQ(s.process().wait(30s), 0);
  EXPECT_TRUE(s.process().drainStderr().ends_with("[audio] parent " + std::to_string(parent.pid()) +
                                                  " exited; finalising 0 capture(s)\n"));
}

// Idle connections can take every place the server has, but never a recording's descriptors nor
// a real request's turn: the oldest without a request make room. Under a limit of 512, recordings
// take their descriptors first: a capture that would eat into what recording tracks need is
// refused (503 "too_many_captures"), and every recording keeps writing whole segments.
TEST(ConnectionFlood, RecordingsAndRequestsCarryOnThroughTwoThousandIdleConnections) {
  constexpr int kIdleConnections = 2000;
  struct Held {
    rlimit saved;
    std::vector<int> fds;
    ~Held() {
      for (int fd : fds)
        ::close(fd);
      setrlimit(RLIMIT_NOFILE, &saved);
    }
  } held{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &held.saved), 0);
  if (held.saved.rlim_max < kIdleConnections + 256)
    GTEST_SKIP() << "hard descriptor limit " << held.saved.rlim_max;
  rlimit raised{held.saved.rlim_max, held.saved.rlim_max};
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &raised), 0);
  Service s;
  ASSERT_TRUE(s.start(kTestStrategies, getpid(), {.descriptors = 512}));
  std::vector<std::pair<std::string, std::string>> captures; // id, directory
  int made = 0;
  auto create = [&] {
    std::string dir = s.root() + "/c" + std::to_string(made++);
    Reply created = s.call("POST", "/captures", toneCapture(dir, 2).dump());
    if (created.status == 201)
      captures.emplace_back(created.json["captureId"], dir);
    return created;
  };
  Reply refused;
  while ((refused = create()).status == 201 && captures.size() < 20) {
  }
  EXPECT_EQ(refusal(refused), "too_many_captures") << refused.status;
  EXPECT_EQ(captures.size(), 7u); // (512 - 256 reserved - 16 connections) / 32 per track

  for (int i = 0; i < kIdleConnections; ++i)
    held.fds.push_back(testing_support::connectLoopback(s.port));
  EXPECT_EQ(std::ranges::count(held.fds, -1), 0);
  // Far below the 30 s after which idle connections would give their places up by themselves.
  auto asked = std::chrono::steady_clock::now();
  std::string health =
      testing_support::roundTrip(s.port, testing_support::getRequest("/health", s.token), 20s);
  EXPECT_TRUE(health.starts_with("HTTP/1.1 200 OK")) << health;
  EXPECT_LT(std::chrono::steady_clock::now() - asked, 10s);
  ASSERT_EQ(s.stop(captures.back().first).status, 200);
  captures.pop_back();
  ASSERT_EQ(create().status, 201) << "a capture starts in the place of a stopped one";
  std::this_thread::sleep_for(5s); // they record while the idle connections are held

  for (const auto& [id, dir] : captures) {
    Reply stopped = s.stop(id);
    Reply events = s.call("GET", "/captures/" + id + "/events?after=0");
    for (const Json& e : events.json["events"])
      EXPECT_TRUE(e["type"] != "track_interrupted" && e["type"] != "write_failed") << e;
    // Without a gap: every segment but the last is whole, and the frames are the summary's.
    TrackFiles files = readTrack(dir + "/tracks/remote");
    EXPECT_TRUE(files.headersMatchData) << dir;
    EXPECT_GT(files.frames, 3 * 16000) << dir;
    EXPECT_EQ(files.frames, stopped.json["tracks"]["remote"]["frames"].get<int64_t>()) << dir;
    for (size_t i = 0; i + 1 < files.perSegment.size(); ++i)
      EXPECT_EQ(files.perSegment[i], 32000) << dir << " " << i;
  }
  EXPECT_NE(s.process().drainStderr().find("connection limit of "), std::string::npos);
}

// Out of threads (as an unprivileged user under RLIMIT_NPROC, its threads held by long polls):
// work that cannot get a thread is answered 503 "busy" and claims nothing, so its directory is
// taken once threads are free again (never "dir_busy"), and the recording carries on whole.
TEST(ThreadLimit, WorkThatGetsNoThreadIsBusyAndClaimsNothing) {
  if (geteuid() != 0)
    GTEST_SKIP() << "only root can run the service as another user";
  Service s;
  ASSERT_TRUE(s.start(kTestStrategies, getpid(), {.threads = 16}));
  const std::string dir = s.root() + "/rec", late = s.root() + "/late";
  ASSERT_FALSE((s.id = s.create(toneCapture(dir, 1))).empty());
  std::vector<std::future<Reply>> polls;
  for (int i = 0; i < 14; ++i)
    polls.push_back(std::async(std::launch::async, [&] {
      return s.call("GET", "/captures/" + s.id + "/events?after=1000000&wait=3");
    }));
  std::this_thread::sleep_for(1s);
  Reply refused = s.call("POST", "/captures", toneCapture(late, 1).dump());
  EXPECT_EQ(refused.status, 503);
  EXPECT_EQ(refusal(refused), "busy");
  for (auto& poll : polls) {
    Reply answer = poll.get();
    EXPECT_TRUE(answer.status == 200 || (answer.status == 503 && refusal(answer) == "busy"))
        << answer.status << " " << answer.json;
  }
  Reply created; // idle threads go after 10 s
  EXPECT_TRUE(testing_support::eventually(
      [&] {
        created = s.call("POST", "/captures", toneCapture(late, 1).dump());
        return created.status != 503;
      },
      30s, 250ms)); // each refusal is a line on the standard error we do not drain meanwhile
  EXPECT_EQ(created.status, 201) << created.json;

  Reply stopped = s.stop(s.id);
  ASSERT_EQ(stopped.status, 200);
  TrackFiles files = readTrack(dir + "/tracks/remote");
  EXPECT_TRUE(files.headersMatchData);
  EXPECT_EQ(files.frames, stopped.json["tracks"]["remote"]["frames"].get<int64_t>());
  EXPECT_GT(files.frames, 3 * 16000);
  EXPECT_TRUE(heardThroughout(s, s.id, dir + "/tracks/remote", "remote", 440, 0.25));
  EXPECT_EQ(::kill(s.process().pid(), 0), 0) << "the service keeps running";
}

TEST(CapturesE2E, RecordsFollowsAndStopsATestTone) {
  Service s;
  ASSERT_TRUE(s.start(kTestStrategies));
  const std::string dir = s.root() + "/rec";
  ASSERT_FALSE((s.id = s.create(toneCapture(dir, 2))).empty());
  EXPECT_EQ(fs::status(dir).permissions(), fs::perms::owner_all);
  EXPECT_EQ(s.process().readStdoutLine(30s), stateLine(1));
  // Follow the log with long polls until two segments have closed.
  ASSERT_TRUE(s.await("segment_closed").is_object());
  ASSERT_TRUE(s.await("segment_closed").is_object());
  // The meter reads the tone: 0.25 is -12.0 dBFS at its peaks and -15.1 as RMS.
  Reply levels = s.call("GET", "/captures/" + s.id + "/levels");
  EXPECT_EQ(levels.json["recording"], true);
  EXPECT_EQ(levels.json["tracks"].size(), 1u);
  const Json& level = levels.json["tracks"]["remote"];
  EXPECT_NEAR(level["rmsDb"].get<double>(), -15.05, 0.1) << levels.json;
  EXPECT_NEAR(level["peakDb"].get<double>(), -12.0, 0.1) << levels.json;
  // Listed while it records, and after.
  auto listed = [&] {
    Json list = s.call("GET", "/captures").json["captures"];
    return list.size() == 1 && list[0]["captureId"] == s.id && list[0]["dir"] == dir &&
                   list[0]["tracks"] == Json::array({"remote"})
               ? list[0]
               : Json();
  };
  Json recording = listed();
  EXPECT_TRUE(holds(recording, {{"recording", true}}) && recording["stoppedNs"].is_null())
      << recording;

  Reply stopped = s.stop(s.id);
  ASSERT_EQ(stopped.status, 200);
  EXPECT_EQ(s.process().readStdoutLine(30s), stateLine(0));
  EXPECT_EQ(s.stop(s.id).json, stopped.json) << "a second stop answers the same summary";
  const Json& remote = stopped.json["tracks"]["remote"];
  ASSERT_TRUE(remote.is_object()) << stopped.json;
  TrackFiles files = readTrack(dir + "/tracks/remote");
  EXPECT_EQ(files.segments, remote["segments"].get<int64_t>());
  EXPECT_EQ(files.frames, remote["frames"].get<int64_t>());
  EXPECT_GE(files.segments, 3);
  EXPECT_TRUE(files.headersMatchData);
  EXPECT_EQ(files.perSegment[0], 32000);
  EXPECT_NEAR(toneAmplitude(testing_support::toFloat(files.samples), 16000, 440), 0.25, 0.01);

  // The log stays readable after the stop, numbered from 1 without a gap. The tone's blocks lie
  // on an exact 10 ms grid, so each segment starts where the one before ended, to the
  // nanosecond but for rounding.
  Reply log = s.call("GET", "/captures/" + s.id + "/events?after=0");
  const Json& events = log.json["events"];
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(log.json["next"], events.back()["seq"]);
  EXPECT_TRUE(holds(events[0],
                    {{"type", "track_started"}, {"track", "remote"}, {"strategy", "test-tone"}}));
  EXPECT_GT(level["tNs"].get<uint64_t>(), events[0]["tNs"].get<uint64_t>());
  std::vector<Json> segments;
  for (size_t i = 0; i < events.size(); ++i) {
    EXPECT_EQ(events[i]["seq"], i + 1);
    if (events[i]["type"] == "segment_closed")
      segments.push_back(events[i]);
  }
  ASSERT_EQ(static_cast<int64_t>(segments.size()), remote["segments"].get<int64_t>());
  // The stop's summary ends the log: a follower knows it has everything.
  EXPECT_TRUE(holds(events.back(), {{"type", "capture_stopped"}, {"summary", stopped.json}}));
  EXPECT_TRUE(holds(listed(), {{"recording", false}}));
  EXPECT_LE(segments[0]["startNs"].get<uint64_t>(), events[0]["tNs"].get<uint64_t>());
  for (size_t i = 1; i < segments.size(); ++i)
    EXPECT_NEAR(segments[i]["startNs"].get<double>(),
                segments[i - 1]["startNs"].get<double>() +
                    segments[i - 1]["durationS"].get<double>() * 1e9,
                10)
        << i;
  // The levels stay too, with the capture no longer recording.
  Reply stoppedLevels = s.call("GET", "/captures/" + s.id + "/levels");
  EXPECT_EQ(stoppedLevels.json["recording"], false);
  EXPECT_GE(stoppedLevels.json["tracks"]["remote"]["tNs"].get<uint64_t>(),
            level["tNs"].get<uint64_t>());

  std::string err = s.finish();
  EXPECT_EQ(s.process().drainStdout(), "") << "no capture was left to stop";
  EXPECT_NE(err.find("[audio] capture " + s.id + " started: remote, 2 s segments\n"),
            std::string::npos)
      << err;
  EXPECT_NE(err.find("[audio] capture " + s.id + " stopped: "), std::string::npos) << err;
}

// Refusals of the body that every parsed request is checked against (a relative dir, segment
// lengths out of range, empty names and matches) are left to the capture request fuzz target.
TEST(CapturesE2E, CreateValidatesConfinesAndGivesBackWhatItTakes) {
  Service s;
  const std::string r = s.root(), outside = r + "2"; // a sibling whose name extends the root's
  ASSERT_EQ(::mkdir(outside.c_str(), 0700), 0);
  ASSERT_EQ(::mkdir((r + "/sub").c_str(), 0700), 0);
  std::ofstream(r + "/afile") << "x";
  fs::create_directory_symlink(r + "/sub", r + "/link");
  fs::create_directory_symlink(r + "/sub", r + "/sublink");
  fs::create_directory_symlink(outside, r + "/outlink");
  fs::create_symlink(r + "/nowhere", r + "/dangling");
  // Links planted where a capture's own directories go.
  fs::create_directories(r + "/planted-tracks");
  fs::create_directory_symlink(outside, r + "/planted-tracks/tracks");
  fs::create_directories(r + "/planted-remote/tracks");
  fs::create_directory_symlink(outside, r + "/planted-remote/tracks/remote");
  ASSERT_TRUE(s.start(kTestStrategies));

  auto with = [](const std::string& dir, std::string extra = R"(,"segmentSeconds":2)") {
    return R"({"dir":)" + Json(dir).dump() + extra +
           R"(,"remote":{"strategy":"test-tone","match":{"bundleIds":["x"]}}})";
  };
  auto without = [](const std::string& dir, const std::string& tracks) {
    return R"({"dir":)" + Json(dir).dump() + tracks + "}";
  };
  // The body, the status and the refusal ("code@field"), or for a 201 the ignored fields.
  std::vector<std::tuple<std::string, int, std::string>> cases = {
      {"not json", 400, "bad_request"},
      {"[1]", 400, "bad_request"},
      {R"({"dir":5})", 400, "bad_request@dir"},
      {with(r + "/a", R"(,"segmentSeconds":1.5)"), 400, "bad_request@segmentSeconds"},
      {with(r + "/a", R"(,"segmentSeconds":"30")"), 400, "bad_request@segmentSeconds"},
      {with(r + "/s1", R"(,"segmentSeconds":1)"), 201, "[]"},
      {with(r + "/s3600", R"(,"segmentSeconds":3600)"), 201, "[]"},
      {with(r + "/s30", R"(,"segmentSeconds":30.0,"segmentSecond":9)"), 201,
       R"(["segmentSecond"])"},
      {without(r + "/a", R"(,"mic":null,"remote":null)"), 400, "bad_request"},
      {without(r + "/a", R"(,"mic":"default")"), 400, "bad_request@mic"},
      {without(r + "/a", R"(,"mic":{"deviceUid":7})"), 400, "bad_request@mic.deviceUid"},
      {without(r + "/a", R"(,"mic":{"echoCancellation":1})"), 400,
       "bad_request@mic.echoCancellation"},
      {without(r + "/a", R"(,"remote":"test-tone")"), 400, "bad_request@remote"},
      {without(r + "/a", R"(,"remote":{"match":{"bundleIds":["x"]}})"), 400,
       "bad_request@remote.strategy"},
      {without(r + "/a", R"(,"remote":{"strategy":"test-tone"})"), 400, "bad_request@remote.match"},
      {without(r + "/a", R"(,"remote":{"strategy":"test-tone","match":{"bundleIds":[""]}})"), 400,
       "bad_request@remote.match.bundleIds"},
      {with(r + "/afile"), 400, "bad_request@dir"},
      {with(r + "/planted-tracks"), 400, "bad_request@dir"},
      {with(r + "/planted-remote"), 400, "bad_request@dir"},
      {with(r + "/sublink/deep"), 201, "[]"},
      {with(r + "/trailing/"), 201, "[]"},
      {with(r + "/sub"), 201, "[]"},           // an existing directory is used
      {with(r + "/sub"), 409, "dir_busy@dir"}, // but not by two recordings at once
      // The registry's answers.
      {without(r + "/nope", R"(,"remote":{"strategy":"nope","match":{"bundleIds":["x"]}})"), 422,
       "unsupported_strategy@remote.strategy"},
      // No audio server: the microphone is not determined, the track reports it in the log. A
      // misspelt key is listed, not silently taken for the default input.
      {without(r + "/mic", R"(,"mic":{"device":"usb_mic"},"remote":null,"x":{"y":1})"), 201,
       R"(["mic.device","x"])"},
      {without(r + "/tap", R"(,"remote":{"strategy":"test-tone","match":{"bundleIds":["x"],)"
                           R"("bundlePrefixes":"x","deferUntilIo":true}})"),
       201, R"(["remote.match.bundlePrefixes","remote.match.deferUntilIo"])"},
  };
  // Confinement: each of these lies outside the root, or is the root itself.
  for (const std::string& dir : std::vector<std::string>{
           r, r + "/", "/", r + "/missing/x", outside + "/x",
           r + "/../" + fs::path(outside).filename().string() + "/x", r + "/sub/../../x",
           r + "/sub/..", r + "/.", r + "/link", r + "/outlink", r + "/dangling", r + "/outlink/x",
           r + std::string("/a\0b", 4)})
    cases.emplace_back(with(dir), 403, "outside_root@dir");
  for (const auto& [body, status, expected] : cases) {
    Reply reply = s.call("POST", "/captures", body);
    EXPECT_EQ(reply.status, status) << body;
    EXPECT_EQ(status == 201 ? reply.json["ignoredFields"].dump() : refusal(reply), expected)
        << body << " " << reply.json;
  }
  // Still outside the root, but the answer says what to mend.
  EXPECT_NE(s.call("POST", "/captures", with(r + "/missing/x"))
                .json["message"]
                .dump()
                .find("does not exist"),
            std::string::npos);

  // Links were resolved, never followed into a new place outside; directories made 0700.
  EXPECT_TRUE(fs::is_directory(r + "/sub/deep/tracks/remote"));
  EXPECT_TRUE(fs::is_directory(r + "/trailing"));
  EXPECT_EQ(listDir(outside), std::vector<std::string>{});
  EXPECT_FALSE(fs::exists(r + "/a")) << "a refused request leaves nothing";
  EXPECT_FALSE(fs::exists(r + "/nowhere"));
  EXPECT_TRUE(fs::is_directory(r + "/nope")) << "made before the registry refused";
  EXPECT_TRUE(fs::is_directory(r + "/mic/tracks/mic"));
  EXPECT_EQ(s.stop("4c1ba1bd-35f2-4b4c-9d4d-1a0a8d7e9f00").status, 404);

  // A service that records all day must run for weeks: a stopped capture gives back its threads
  // and descriptors, and its directory may record again.
  auto cycle = [&] {
    std::string id = s.create(toneCapture(s.root() + "/cycle", 1));
    ASSERT_FALSE(id.empty());
    ASSERT_EQ(s.stop(id).status, 200);
  };
  cycle(); // the request threads a cycle needs
  auto [threads, descriptors] = threadsAndDescriptors(s.process().pid());
  for (int i = 0; i < 100; ++i)
    cycle();
  auto [threadsAfter, descriptorsAfter] = threadsAndDescriptors(s.process().pid());
  EXPECT_LE(threadsAfter, threads + 8);
  EXPECT_LE(descriptorsAfter, descriptors + 8);
  // The directory is used again and again: its segments are numbered on, with no gap.
  std::vector<std::string> names = listDir(s.root() + "/cycle/tracks/remote");
  ASSERT_FALSE(names.empty());
  for (size_t i = 0; i < names.size(); ++i) {
    char expected[32];
    std::snprintf(expected, sizeof expected, "%06zu.wav", i + 1);
    EXPECT_EQ(names[i], expected);
  }
  s.finish();
}

// How the query maps onto the log; the number grammar itself is the Decimal unit test's.
TEST(CapturesE2E, EventsQueryAndLongPoll) {
  Service s;
  ASSERT_TRUE(s.start(kTestStrategies));
  std::string id = s.create(toneCapture(s.root() + "/rec", 3600)); // one event until the stop
  ASSERT_FALSE(id.empty());
  const std::string path = "/captures/" + id + "/events";
  EXPECT_EQ(s.call("GET", "/captures/nope/events?after=x").status, 404)
      << "an unknown id answers 404 before the query is read";
  const std::tuple<std::string, int, int64_t, size_t> cases[] = {
      // query, status, and for a 200 next and how many events
      {"", 200, 1, 1},
      {"?x=1", 200, 1, 1},
      {"?after=1&wait=%2B0", 200, 1, 0},
      {"?after=0&wait=25", 200, 1, 1}, // answered at once: there is an event already
      {"?after=-1", 400, 0, 0},
      {"?after=x&wait=0", 400, 0, 0},
      {"?wait=26", 400, 0, 0},
      {"?wait=-1", 400, 0, 0},
  };
  for (const auto& [query, status, next, events] : cases) {
    Reply r = s.call("GET", path + query);
    EXPECT_EQ(r.status, status) << query;
    if (status == 200)
      EXPECT_EQ(r.json, Json({{"next", next}, {"events", r.json["events"]}})) << query;
    else
      EXPECT_EQ(refusal(r), std::string("bad_request@") + (query[1] == 'a' ? "after" : "wait"))
          << query;
    EXPECT_EQ(r.json["events"].size(), events) << query;
  }
  // A short wait with nothing new runs out and echoes "after".
  EXPECT_EQ(s.call("GET", path + "?after=1&wait=1").json, Json::parse(R"({"events":[],"next":1})"));

  // A long poll wakes on the next event: the stop closes the segment.
  auto poll =
      std::async(std::launch::async, [&] { return s.call("GET", path + "?after=1&wait=25"); });
  std::this_thread::sleep_for(500ms);
  ASSERT_EQ(s.stop(id).status, 200);
  Reply woke = poll.get();
  EXPECT_TRUE(holds(woke.json["events"][0], {{"type", "segment_closed"}, {"seq", 2}})) << woke.json;
  s.finish();
}

// How the service ends while two captures record (one in 1 s segments, one in 60 s): told to
// go (SIGTERM, twice) or left by its parent, it finalises every segment, says so once and ends
// with one last STATE line; killed outright, it leaves every segment playable, each header at
// most a second (and one block) behind the samples on disk.
enum class Ending { sigtermTwice, parentExits, killed };

class ServiceEnding : public testing::TestWithParam<Ending> {};

TEST_P(ServiceEnding, LeavesEverySegmentPlayable) {
  ChildProcess parent({"/bin/sleep", "120"});
  Service s;
  ASSERT_TRUE(s.start(kTestStrategies, parent.pid()));
  ASSERT_FALSE(s.create(toneCapture(s.root() + "/a", 1)).empty());
  ASSERT_FALSE(s.create(toneCapture(s.root() + "/b", 60)).empty());
  EXPECT_EQ(s.process().readStdoutLine(30s), stateLine(1));
  EXPECT_EQ(s.process().readStdoutLine(30s), stateLine(2));
  std::this_thread::sleep_for(2500ms);

  std::string finalising = "[audio] SIGTERM; finalising 2 capture(s)\n";
  switch (GetParam()) {
  case Ending::sigtermTwice:
    s.process().signal(SIGTERM);
    s.process().signal(SIGTERM);
    break;
  case Ending::parentExits:
    parent.signal(SIGKILL);
    ASSERT_TRUE(parent.wait(30s).has_value());
    finalising =
        "[audio] parent " + std::to_string(parent.pid()) + " exited; finalising 2 capture(s)\n";
    break;
  case Ending::killed:
    s.process().signal(SIGKILL);
    break;
  }
  std::optional<int> status = s.process().wait(30s);
  std::string err = s.process().drainStderr();
  const bool killed = GetParam() == Ending::killed;
  if (killed) {
    EXPECT_EQ(status, 128 + SIGKILL);
  } else {
    EXPECT_EQ(status, 0);
    EXPECT_EQ(s.process().drainStdout(), stateLine(0) + "\n") << "one final line";
    EXPECT_NE(err.find(finalising), std::string::npos) << err;
    EXPECT_EQ(err.find("finalising"), err.rfind("finalising")) << err;
    EXPECT_EQ(err.find("stopped:"), std::string::npos) << "the exit path stops captures itself";
  }
  for (const char* dir : {"/a", "/b"}) {
    const std::string track = s.root() + dir + "/tracks/remote";
    TrackFiles files = readTrack(track);
    EXPECT_GT(files.frames, 2 * 16000) << dir;
    if (!killed) {
      EXPECT_TRUE(files.headersMatchData) << dir;
      continue;
    }
    for (const std::string& name : listDir(track)) {
      auto wav = testing_support::readWav(track + "/" + name);
      ASSERT_TRUE(wav) << dir << name;
      // Whole frames; the header at most 1 s and one block behind them.
      size_t onDisk = wav->bytes.size() - 44;
      EXPECT_TRUE(onDisk % 2 == 0 && wav->riffSize == wav->dataSize + 36 &&
                  wav->dataSize <= onDisk && onDisk - wav->dataSize <= 32000u + 2 * 160)
          << dir << name << ": " << onDisk << " bytes, header " << wav->dataSize;
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

std::string decodeBody(const std::string& input, const std::string& output) {
  return Json{{"input", input}, {"output", output}}.dump();
}

TEST(DecodeEndpoint, ValidatesConfinesAndDecodes) {
  Service s;
  const std::string r = s.root();
  ASSERT_TRUE(makeTone(r + "/tone.wav", 44100, 2, 440, 1, 0.25));
  fs::create_symlink(r + "/tone.wav", r + "/link.wav");
  std::ofstream(r + "/words.wav") << "no audio in here";
  // Inputs that are no regular file: opening a FIFO must not wait for a writer.
  ASSERT_EQ(::mkfifo((r + "/fifo.wav").c_str(), 0600), 0);
  int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{.sun_family = AF_UNIX, .sun_path = {}};
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s/socket.wav", r.c_str());
  ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  bool device = ::mknod((r + "/device.wav").c_str(), S_IFCHR | 0600, makedev(1, 5)) == 0;
  ASSERT_TRUE(s.start());

  // The body, the status and the refusal ("code@field"), or for a 200 the ignored fields.
  const std::tuple<std::string, int, std::string> cases[] = {
      {"nope", 400, "bad_request"},
      {"[]", 400, "bad_request"},
      {R"({"output":")" + r + R"(/a.wav"})", 400, "bad_request@input"},
      {R"({"input":")" + r + R"(/tone.wav","output":5})", 400, "bad_request@output"},
      {decodeBody(r + "/tone.wav", r + "/out.mp3"), 400, "bad_request@output"},
      {decodeBody(r + "/tone.wav", "/elsewhere/out.mp3"), 400, "bad_request@output"}, // first
      {decodeBody("tone.wav", r + "/out.wav"), 403, "outside_root@input"},
      {decodeBody(r + "/link.wav", r + "/out.wav"), 403, "outside_root@input"},
      {decodeBody(r + "/no/such.wav", r + "/out.wav"), 403, "outside_root@input"},
      {decodeBody(r + "/tone.wav", r + "/no/dir/out.wav"), 403, "outside_root@output"},
      {decodeBody(r + "/tone.wav", "/tmp/out.wav"), 403, "outside_root@output"},
      {decodeBody(r + "/words.wav", r + "/out.wav"), 415, "unsupported_format@input"},
      {decodeBody(r + "/missing.wav", r + "/out.wav"), 422, "unreadable@input"},
      {decodeBody(r + "/fifo.wav", r + "/out.wav"), 422, "unreadable@input"},
      {decodeBody(r + "/socket.wav", r + "/out.wav"), 422, "unreadable@input"},
      {decodeBody(r + (device ? "/device.wav" : "/missing.wav"), r + "/out.wav"), 422,
       "unreadable@input"},
      {R"({"rate":8000,"input":")" + r + R"(/tone.wav","output":")" + r + R"(/OUT.WAV"})", 200,
       R"(["rate"])"},
  };
  for (const auto& [body, status, expected] : cases) {
    Reply reply = s.call("POST", "/decode", body);
    EXPECT_EQ(reply.status, status) << body;
    EXPECT_EQ(status == 200 ? reply.json["ignoredFields"].dump() : refusal(reply), expected)
        << body << " " << reply.json;
  }
  EXPECT_FALSE(fs::exists(r + "/no"));

  Reply done = s.call("POST", "/decode", decodeBody(r + "/tone.wav", r + "/out.wav"));
  ASSERT_EQ(done.status, 200) << done.json;
  int64_t frames = done.json["frames"].get<int64_t>();
  EXPECT_NEAR(static_cast<double>(frames), 16000, 2);
  EXPECT_DOUBLE_EQ(done.json["durationS"].get<double>(), static_cast<double>(frames) / 16000.0);
  auto wav = testing_support::readWav(r + "/out.wav");
  ASSERT_TRUE(wav);
  EXPECT_EQ(static_cast<int64_t>(wav->samples.size()), frames);
  std::string err = s.finish();
  EXPECT_NE(err.find("[audio] decoded " + std::to_string(frames) + " frames (1.0 s) in "),
            std::string::npos)
      << err;
  ::close(sock);
}

// The orderly exit does not wait for a decode, and leaves none of its temporary file behind.
TEST(DecodeEndpoint, SigtermDuringADecodeLeavesNoTemporaryFile) {
  Service s;
  // 4096 samples at 1 Hz: over an hour of output, written for a good while.
  ASSERT_EQ(testing_support::runToCompletion({"/usr/bin/ffmpeg", "-nostdin", "-f", "lavfi", "-i",
                                              "sine=frequency=0.1:sample_rate=1:duration=4096",
                                              "-c:a", "pcm_s16le", s.root() + "/slow.wav"})
                .status,
            0);
  ASSERT_TRUE(s.start());
  std::thread request([&] {
    s.call("POST", "/decode", decodeBody(s.root() + "/slow.wav", s.root() + "/out.wav"));
  });
  const std::string partial = s.root() + "/out.wav.partial";
  ASSERT_TRUE(testing_support::eventually([&] { return fs::exists(partial); }, 30s));
  s.finish();
  request.join();
  EXPECT_FALSE(fs::exists(partial));
  EXPECT_FALSE(fs::exists(s.root() + "/out.wav"));
}

// The root is opened once: the link that named it, re-pointed after the start, takes neither a
// capture nor a decode anywhere new, and its old name still reaches the first root.
TEST(Confinement, ARootLinkRepointedAfterTheStartLeadsNowhereNew) {
  Service s;
  const std::string first = s.root(), link = first + "-link", other = first + "-other";
  ASSERT_EQ(::mkdir(other.c_str(), 0700), 0);
  ASSERT_TRUE(makeTone(first + "/in.wav", 16000, 1, 440, 0.2, 0.5));
  fs::create_directory_symlink(first, link);
  s.serveRoot(link);
  ASSERT_TRUE(s.start(kTestStrategies));
  fs::remove(link);
  fs::create_directory_symlink(other, link);
  EXPECT_EQ(s.call("POST", "/captures", toneCapture(other + "/cap", 1).dump()).status, 403);
  EXPECT_EQ(s.call("POST", "/decode", decodeBody(first + "/in.wav", other + "/o.wav")).status, 403);
  EXPECT_EQ(s.call("POST", "/decode", decodeBody(link + "/in.wav", link + "/o.wav")).status, 200);
  s.finish();
  EXPECT_EQ(listDir(other), std::vector<std::string>{});
  EXPECT_TRUE(fs::exists(first + "/o.wav"));
}

// While a directory below the root and a link to a directory outside it trade places again and
// again, captures (and their segments) and decodes aimed below that directory never read or
// write outside the root and leave no temporary file. VA_RACE_SECONDS sets how long the swapping
// goes on (default 3).
TEST(Confinement, HoldsWhileADirectoryAndALinkTradePlaces) {
  Service s;
  const std::string race = s.root() + "/race", swap = s.root() + "/swap";
  const std::string outside = s.root() + "-outside";
  ASSERT_EQ(::mkdir(race.c_str(), 0700), 0);
  ASSERT_EQ(::mkdir(outside.c_str(), 0700), 0);
  ASSERT_TRUE(makeTone(race + "/in.wav", 16000, 1, 440, 0.2, 0.5));
  ASSERT_TRUE(makeTone(outside + "/in.wav", 16000, 1, 660, 0.2, 0.5));
  fs::create_directory_symlink(outside, swap);
  ASSERT_TRUE(s.start(kTestStrategies));
  const char* configured = std::getenv("VA_RACE_SECONDS");
  const auto seconds = std::chrono::duration<double>(configured ? std::atof(configured) : 3.0);

  std::atomic<bool> swapping{true};
  std::atomic<int> swaps{0};
  std::thread swapper([&] {
    while (swapping)
      if (::renameat2(AT_FDCWD, race.c_str(), AT_FDCWD, swap.c_str(), RENAME_EXCHANGE) == 0)
        ++swaps;
  });
  int answered = 0;
  const auto end = std::chrono::steady_clock::now() + seconds;
  for (int i = 0; std::chrono::steady_clock::now() < end; ++i) {
    std::string n = std::to_string(i);
    Reply created = s.call("POST", "/captures", toneCapture(race + "/cap" + n, 1).dump());
    if (created.status == 201) {
      std::this_thread::sleep_for(20ms); // a segment is made and written meanwhile
      s.stop(created.json["captureId"].get<std::string>());
    }
    Reply decoded =
        s.call("POST", "/decode", decodeBody(race + "/in.wav", race + "/out" + n + ".wav"));
    answered += decoded.status == 200;
    EXPECT_TRUE(decoded.status == 200 || decoded.status == 403 || decoded.status == 422)
        << decoded.status;
  }
  swapping = false;
  swapper.join();
  s.finish();
  std::printf("%d swaps; %d decodes answered 200\n", swaps.load(), answered);

  // Wherever the directory ended up, outside holds nothing but its own input.
  std::string inside = fs::is_symlink(race) ? swap : race;
  EXPECT_EQ(listDir(outside), std::vector<std::string>{"in.wav"});
  int outputs = 0;
  for (const std::string& name : listDir(inside)) {
    EXPECT_FALSE(name.ends_with(".partial")) << name;
    if (!name.starts_with("out"))
      continue;
    ++outputs;
    auto wav = testing_support::readWav(inside + "/" + name);
    ASSERT_TRUE(wav) << name;
    EXPECT_LT(toneAmplitude(testing_support::toFloat(wav->samples), 16000, 660), 0.01)
        << name << " read outside";
  }
  EXPECT_EQ(outputs, answered);
}

} // namespace
} // namespace va::e2e
