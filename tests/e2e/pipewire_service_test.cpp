// The built service's microphone tracks and its /sources against a private audio server.

#include "e2e/service_process.h"
#include "support/audio_server_test.h"
#include "support/eventually.h"

#include <thread>

namespace va::e2e {
namespace {

using namespace std::chrono_literals;
using testing_support::eventually;

using ServiceOnPipeWire = testing_support::AudioServerTest;

// A server that is not up yet is no refusal: a mic track started before any server was reached
// waits for one and records once it comes. /sources then lists the server's microphones and its
// applications grouped by identity, and loses the microphones when the server goes again.
TEST_P(ServiceOnPipeWire, AMicTrackWaitsForTheServerAndSourcesFollowIt) {
  ASSERT_TRUE(env_->stopServer());
  Service s;
  ASSERT_TRUE(s.record(env_->clientEnv(), {{"mic", Json::object()}}));
  EXPECT_EQ(s.call("GET", "/permissions").json["microphone"], "not_determined");
  std::this_thread::sleep_for(2500ms); // the server comes later than any connection attempt waits
  ASSERT_TRUE(env_->startServer());
  ASSERT_NE(env_->mic("usb_mic", 1000, {"--bus", "usb", "--description", "USB Mic", "--default"}),
            0);
  ASSERT_NE(env_->mic("headset_mic", 500, {"--bus", "bluetooth", "--priority", "10"}), 0);
  pid_t first = env_->app("com.example.player", "Player", 440);
  pid_t second = env_->app("com.example.player", "Player Two", 440);
  pid_t other = env_->app("com.example.another", "Another", 660);
  ASSERT_TRUE(first && second && other);
  // Started on the device at once, or resumed on it when the server came before the device.
  EXPECT_TRUE(eventually([&] {
    std::string events = s.events();
    return events.find("\"track_started\"") != std::string::npos ||
           events.find("\"track_resumed\"") != std::string::npos;
  })) << s.events();
  EXPECT_EQ(s.events().find("microphone_denied"), std::string::npos) << s.events();
  EXPECT_TRUE(newestSegmentHolds(s.track("mic"), 1, 1.0));

  Reply sources = s.call("GET", "/sources");
  ASSERT_EQ(sources.status, 200);
  EXPECT_EQ(sources.json["inputs"],
            Json::parse(R"([{"isDefault":true,"name":"USB Mic","transport":"usb","uid":"usb_mic"},
                {"isDefault":false,"name":"headset_mic","transport":"bluetooth",
                 "uid":"headset_mic"}])"));
  Json apps = Json::array();
  for (const Json& app : sources.json["applications"]) {
    if (app["bundleId"].get<std::string>().starts_with("com.example."))
      apps.push_back(app);
    for (const Json& pid : app["pids"])
      EXPECT_NE(pid, s.process().pid()) << "the service lists itself";
  }
  EXPECT_EQ(
      apps,
      (Json{{{"bundleId", "com.example.another"}, {"name", "Another"}, {"pids", {other}}},
            {{"bundleId", "com.example.player"}, {"name", "Player"}, {"pids", {first, second}}}}));
  Reply capabilities = s.call("GET", "/capabilities");
  EXPECT_EQ(capabilities.json["systemAudio"], true);
  Reply permissions = s.call("GET", "/permissions");
  EXPECT_EQ(permissions.json["microphone"], "granted");
  EXPECT_EQ(permissions.json["systemAudio"], "unknown");

  // The microphone goes away with the server; the service keeps answering.
  ASSERT_TRUE(env_->stopServer());
  EXPECT_TRUE(eventually([&] {
    Reply now = s.call("GET", "/sources");
    return now.status == 200 && now.json["inputs"].empty();
  }));
  s.finish();
}

// A mic capture records the mic's tone only. A mic whose feeder stops delivering is restarted and,
// once the feeder plays again, recorded again; an unplugged mic is followed into a new segment
// when it comes back; SIGTERM finalises the track.
TEST_P(ServiceOnPipeWire, AMicCaptureFollowsAStallAndAnUnplugAndFinalisesOnSigterm) {
  pid_t mic = env_->mic("usb_mic", 1000, {"--bus", "usb", "--default"});
  ASSERT_NE(mic, 0);
  ASSERT_NE(env_->app("com.example.player", "Player", 440), 0);
  Service s;
  ASSERT_TRUE(s.record(env_->clientEnv(), {{"mic", Json::object()}}));
  Json first = s.await("track_started");
  ASSERT_TRUE(first.is_object());
  EXPECT_EQ(first["device"]["uid"], "usb_mic");
  EXPECT_EQ(first["reason"], "start");
  const std::string track = s.track("mic");
  ASSERT_TRUE(newestSegmentHolds(track, 1, 1.5));
  EXPECT_TRUE(endsOnTone(track, 1000, {440}));

  env_->pause(mic);
  Json stall = s.await("mic_stall_restart");
  ASSERT_TRUE(stall.is_object()) << s.events();
  EXPECT_EQ(stall["attempt"], 1);
  Json reopened = s.await("track_started");
  EXPECT_EQ(reopened["reason"], "stall_restart");
  EXPECT_EQ(reopened["device"]["uid"], "usb_mic");
  env_->resume(mic);
  EXPECT_TRUE(growsBy(track, 1.0)) << "no audio after the feeder resumed";
  EXPECT_TRUE(endsOnTone(track, 1000));

  const size_t segments = testing_support::listDir(track).size();
  env_->end(mic);
  Json interrupted = s.await("track_interrupted");
  EXPECT_EQ(interrupted["reason"], "device_unavailable");
  ASSERT_NE(env_->mic("usb_mic", 1000, {"--bus", "usb", "--default"}), 0);
  Json resumed = s.await("track_resumed");
  ASSERT_TRUE(resumed.is_object());
  EXPECT_GT(resumed["gapS"].get<double>(), 0);
  EXPECT_TRUE(newestSegmentHolds(track, segments + 1, 1.0)) << s.events();
  s.finish();
  EXPECT_TRUE(testing_support::readTrack(track).headersMatchData);
  EXPECT_TRUE(endsOnTone(track, 1000, {440}));
}

// Two captures side by side: one follows the default input, one stays on the device it asked
// for. The default is muted at first: its digital silence is reported once it has lasted 10 s,
// and its return when the default moves to a mic that plays; the meter follows.
TEST_P(ServiceOnPipeWire, ADefaultFollowingMicMovesAndARequestedOneStays) {
  ASSERT_NE(env_->mic("usb_mic", 1000, {"--bus", "usb"}), 0);
  ASSERT_NE(env_->mic("muted_mic", 1000, {"--amplitude", "0", "--default"}), 0);
  Service s;
  ASSERT_TRUE(s.record(env_->clientEnv(), {{"mic", Json::object()}}));
  const std::string pinned =
      s.create({{"dir", s.root() + "/pinned"}, {"mic", {{"deviceUid", "usb_mic"}}}});
  ASSERT_FALSE(pinned.empty());
  int64_t pinnedAfter = 0;
  ASSERT_TRUE(s.awaitEvent(pinned, "track_started", pinnedAfter).is_object());
  Json silent = s.await("track_silent");
  ASSERT_TRUE(silent.is_object()) << s.events();
  EXPECT_EQ(silent["track"], "mic");
  EXPECT_EQ(silent["silentS"], 10.0);
  auto level = [&] {
    Reply levels = s.call("GET", "/captures/" + s.id + "/levels");
    return levels.json;
  };
  Json quiet = level();
  EXPECT_EQ(quiet["recording"], true);
  EXPECT_EQ(quiet["tracks"]["mic"]["rmsDb"], -120.0) << quiet;
  EXPECT_EQ(quiet["tracks"]["mic"]["peakDb"], -120.0) << quiet;

  ASSERT_NE(env_->mic("desk_mic", 500, {"--priority", "3000", "--default"}), 0);
  int64_t audibleAfter = s.after;
  Json changed = s.await("default_input_changed");
  EXPECT_EQ(changed["device"]["uid"], "desk_mic");
  Json moved = s.await("track_started");
  EXPECT_EQ(moved["reason"], "device_changed");
  EXPECT_EQ(moved["device"]["uid"], "desk_mic");
  Json audible = s.awaitEvent(s.id, "track_audible", audibleAfter);
  ASSERT_TRUE(audible.is_object()) << s.events();
  EXPECT_GE(audible["silentS"].get<double>(), 10.0);
  EXPECT_EQ(s.awaitEvent(pinned, "default_input_changed", pinnedAfter)["device"]["uid"],
            "desk_mic");
  EXPECT_TRUE(growsBy(s.track("mic"), 1.0));
  Json heard = level();
  EXPECT_NEAR(heard["tracks"]["mic"]["rmsDb"].get<double>(), -9.0, 0.5) << heard; // 0.5 / sqrt(2)
  EXPECT_GT(heard["tracks"]["mic"]["tNs"].get<uint64_t>(),
            quiet["tracks"]["mic"]["tNs"].get<uint64_t>());
  std::string events = s.events();
  s.finish();
  // The follower ends on the new device's tone; the pinned capture never moved.
  EXPECT_TRUE(endsOnTone(s.track("mic"), 500, {1000})) << events;
  EXPECT_TRUE(endsOnTone(s.root() + "/pinned/tracks/mic", 1000, {500}));
}

VA_AUDIO_SERVER_TEST_SUITE(ServiceOnPipeWire);

} // namespace
} // namespace va::e2e
