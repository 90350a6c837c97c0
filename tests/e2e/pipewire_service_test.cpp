// The built service and the platform layer's processes against a private audio server.

#include "e2e/recordings.h"
#include "e2e/service_process.h"
#include "support/audio_files.h"
#include "support/audio_server_test.h"
#include "support/child_process.h"

#include "support/eventually.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <thread>
#include <unistd.h>

namespace va::e2e {
namespace {

using namespace std::chrono_literals;
using testing_support::ChildProcess;
using testing_support::eventually;
using testing_support::runToCompletion;

using ServiceOnPipeWire = testing_support::AudioServerTest;

TEST_P(ServiceOnPipeWire, SourcesListMicsAndApplicationsGroupedByIdentity) {
  ASSERT_NE(env_->mic("usb_mic", 1000, {"--bus", "usb", "--description", "USB Mic", "--default"}),
            0);
  ASSERT_NE(env_->mic("headset_mic", 500, {"--bus", "bluetooth", "--priority", "10"}), 0);
  pid_t first = env_->app("com.example.player", "Player", 440);
  pid_t second = env_->app("com.example.player", "Player Two", 440);
  pid_t other = env_->app("com.example.another", "Another", 660);
  ASSERT_TRUE(first && second && other);

  std::string root = makeTempDir("pw-sources-");
  RunningService service = startService(root, getpid(), env_->clientEnv());
  ASSERT_FALSE(service.ready.is_null());
  Reply sources = call(service, "GET", "/sources");
  ASSERT_EQ(sources.status, 200);
  EXPECT_EQ(sources.json["inputs"],
            Json::parse(R"([{"isDefault":true,"name":"USB Mic","transport":"usb","uid":"usb_mic"},
                {"isDefault":false,"name":"headset_mic","transport":"bluetooth",
                 "uid":"headset_mic"}])"));
  Json apps = Json::array();
  for (const Json& app : sources.json["applications"])
    if (app["bundleId"].get<std::string>().starts_with("com.example."))
      apps.push_back(app);
  EXPECT_EQ(
      apps,
      (Json{{{"bundleId", "com.example.another"}, {"name", "Another"}, {"pids", {other}}},
            {{"bundleId", "com.example.player"}, {"name", "Player"}, {"pids", {first, second}}}}));
  for (const Json& app : sources.json["applications"])
    for (const Json& pid : app["pids"])
      EXPECT_NE(pid, service.process->pid()) << "the service lists itself";

  Reply capabilities = call(service, "GET", "/capabilities");
  EXPECT_EQ(capabilities.json["systemAudio"], true);
  Reply permissions = call(service, "GET", "/permissions");
  EXPECT_EQ(permissions.json["microphone"], "granted");
  EXPECT_EQ(permissions.json["systemAudio"], "unknown");

  // The microphone goes away with the server; the service keeps answering.
  ASSERT_TRUE(env_->stopServer());
  EXPECT_TRUE(eventually([&] {
    Reply now = call(service, "GET", "/sources");
    return now.status == 200 && now.json["inputs"].empty();
  }));
  service.process->signal(SIGTERM);
  EXPECT_EQ(service.process->wait(30s), 0);
}

// Our links never outlive us: they are not lingering, so the server removes them with the
// client, even one killed without a chance to clean up.
TEST_P(ServiceOnPipeWire, AKilledRecorderLeavesNoLinkBehind) {
  ASSERT_NE(env_->mic("usb_mic", 1000, {"--default"}), 0);
  ASSERT_NE(env_->app("com.example.player", "Player", 440), 0);
  auto links = [] { return runToCompletion({"/usr/bin/pw-link", "--links"}, 10s).out; };
  for (const char* mode : {"mic", "tap"}) {
    ChildProcess probe({VA_PROBE, std::string("--") + mode,
                        std::string(mode) == "mic" ? "usb_mic" : "com.example.player", "60"},
                       env_->clientEnv());
    ASSERT_EQ(probe.readStdoutLine(20s), "ready") << mode;
    ASSERT_TRUE(eventually([&] { return links().find("velmorrant-audio") != std::string::npos; }))
        << mode << ":\n"
        << links();
    probe.signal(SIGKILL);
    probe.wait(10s);
    EXPECT_TRUE(eventually([&] { return links().find("velmorrant-audio") == std::string::npos; }))
        << mode << ":\n"
        << links();
  }
}

TEST_P(ServiceOnPipeWire, AMicCaptureRecordsTheMicFollowsItsUnplugAndFinalisesOnSigterm) {
  pid_t mic = env_->mic("usb_mic", 1000, {"--bus", "usb", "--default"});
  ASSERT_NE(mic, 0);
  ASSERT_NE(env_->app("com.example.player", "Player", 440), 0);
  CaptureSession s = startCapture(env_->clientEnv(), {{"mic", Json::object()}}, "pw-mic-");
  ASSERT_FALSE(s.id.empty());
  Json first = s.await("track_started");
  ASSERT_TRUE(first.is_object());
  EXPECT_EQ(first["device"]["uid"], "usb_mic");
  EXPECT_EQ(first["reason"], "start");
  const std::string track = s.track("mic");
  EXPECT_TRUE(newestSegmentHolds(track, 1, 1.5));

  env_->end(mic);
  Json interrupted = s.await("track_interrupted");
  EXPECT_EQ(interrupted["reason"], "device_unavailable");
  ASSERT_NE(env_->mic("usb_mic", 1000, {"--bus", "usb", "--default"}), 0);
  Json resumed = s.await("track_resumed");
  ASSERT_TRUE(resumed.is_object());
  EXPECT_GT(resumed["gapS"].get<double>(), 0);
  EXPECT_TRUE(newestSegmentHolds(track, 2, 1.0));

  s.service.process->signal(SIGTERM);
  EXPECT_EQ(s.service.process->wait(30s), 0);
  auto [audio, segments] = trackAudio(track);
  EXPECT_GE(segments, 2u) << s.events(); // one before the unplug, one after
  ASSERT_GT(audio.size(), 16000u * 2);
  std::span<const float> steady(audio.data() + 4800, 16000);
  EXPECT_NEAR(testing_support::toneAmplitude(steady, 16000, 1000), 0.5, 0.05);
  EXPECT_LT(testing_support::toneAmplitude(steady, 16000, 440), 0.01);
}

// A microphone whose feeder stops delivering is restarted; once the feeder plays again the
// track records its tone again.
TEST_P(ServiceOnPipeWire, AMicThatGoesSilentIsRestartedAndRecordsAgain) {
  pid_t mic = env_->mic("usb_mic", 1000, {"--bus", "usb", "--default"});
  ASSERT_NE(mic, 0);
  CaptureSession s = startCapture(env_->clientEnv(), {{"mic", Json::object()}}, "pw-stall-");
  ASSERT_FALSE(s.id.empty());
  ASSERT_TRUE(s.await("track_started").is_object());
  const std::string track = s.track("mic");
  ASSERT_TRUE(newestSegmentHolds(track, 1, 1.0));

  env_->pause(mic);
  Json stall = s.await("mic_stall_restart");
  ASSERT_TRUE(stall.is_object()) << s.events();
  EXPECT_EQ(stall["attempt"], 1);
  Json reopened = s.await("track_started");
  EXPECT_EQ(reopened["reason"], "stall_restart");
  EXPECT_EQ(reopened["device"]["uid"], "usb_mic");
  env_->resume(mic);
  std::error_code error;
  auto sizeAt = [&] {
    std::vector<std::string> names = testing_support::listDir(track);
    return names.empty() ? uintmax_t{0}
                         : std::filesystem::file_size(track + "/" + names.back(), error);
  };
  uintmax_t resumedAt = sizeAt();
  EXPECT_TRUE(eventually([&] { return sizeAt() >= resumedAt + 32000; }, 30s))
      << "no audio after the feeder resumed";

  s.service.process->signal(SIGTERM);
  EXPECT_EQ(s.service.process->wait(30s), 0);
  auto [audio, segments] = trackAudio(track);
  ASSERT_GT(audio.size(), 16000u);
  std::span<const float> last(audio.end() - 8000, audio.end());
  EXPECT_NEAR(testing_support::toneAmplitude(last, 16000, 1000), 0.5, 0.05);
}

// A microphone that delivers digital silence (muted) is reported once it has been silent for 10 s,
// and heard again when the default input moves to one that plays; the meter follows.
TEST_P(ServiceOnPipeWire, AMutedMicIsReportedAndSoIsItsReturn) {
  ASSERT_NE(env_->mic("muted_mic", 1000, {"--amplitude", "0", "--default"}), 0);
  CaptureSession s = startCapture(env_->clientEnv(), {{"mic", Json::object()}}, "pw-muted-");
  ASSERT_FALSE(s.id.empty());
  Json silent = s.await("track_silent");
  ASSERT_TRUE(silent.is_object()) << s.events();
  EXPECT_EQ(silent["track"], "mic");
  EXPECT_EQ(silent["silentS"], 10.0);
  auto level = [&] { return call(s.service, "GET", "/captures/" + s.id + "/levels").json; };
  Json quiet = level();
  EXPECT_EQ(quiet["recording"], true);
  EXPECT_EQ(quiet["tracks"]["mic"]["rmsDb"], -120.0) << quiet;
  EXPECT_EQ(quiet["tracks"]["mic"]["peakDb"], -120.0) << quiet;

  ASSERT_NE(env_->mic("desk_mic", 500, {"--priority", "3000", "--default"}), 0);
  Json audible = s.await("track_audible");
  ASSERT_TRUE(audible.is_object()) << s.events();
  EXPECT_GE(audible["silentS"].get<double>(), 10.0);
  Json heard = level();
  EXPECT_NEAR(heard["tracks"]["mic"]["rmsDb"].get<double>(), -9.0, 0.5) << heard; // 0.5 / sqrt(2)
  EXPECT_GT(heard["tracks"]["mic"]["tNs"].get<uint64_t>(),
            quiet["tracks"]["mic"]["tNs"].get<uint64_t>());
  s.service.process->signal(SIGTERM);
  EXPECT_EQ(s.service.process->wait(30s), 0);
}

// Two captures side by side: one follows the default input, one stays on its requested device.
TEST_P(ServiceOnPipeWire, ADefaultFollowingMicMovesAndARequestedOneStays) {
  ASSERT_NE(env_->mic("usb_mic", 1000, {"--bus", "usb", "--default"}), 0);
  std::string root = makeTempDir("pw-default-");
  RunningService service = startService(root, getpid(), env_->clientEnv());
  ASSERT_FALSE(service.ready.is_null());
  auto create = [&](const std::string& name, Json mic) {
    Reply created =
        call(service, "POST", "/captures", Json{{"dir", root + "/" + name}, {"mic", mic}}.dump());
    EXPECT_EQ(created.status, 201) << created.json;
    return created.json.value("captureId", std::string());
  };
  std::string following = create("following", Json::object());
  std::string pinned = create("pinned", Json{{"deviceUid", "usb_mic"}});
  int64_t followingAfter = 0, pinnedAfter = 0;
  ASSERT_TRUE(awaitEvent(service, following, "track_started", followingAfter).is_object());
  ASSERT_TRUE(awaitEvent(service, pinned, "track_started", pinnedAfter).is_object());

  ASSERT_NE(env_->mic("desk_mic", 500, {"--priority", "3000", "--default"}), 0);
  Json changed = awaitEvent(service, following, "default_input_changed", followingAfter);
  EXPECT_EQ(changed["device"]["uid"], "desk_mic");
  Json moved = awaitEvent(service, following, "track_started", followingAfter);
  EXPECT_EQ(moved["reason"], "device_changed");
  EXPECT_EQ(moved["device"]["uid"], "desk_mic");
  EXPECT_EQ(awaitEvent(service, pinned, "default_input_changed", pinnedAfter)["device"]["uid"],
            "desk_mic");
  EXPECT_TRUE(newestSegmentHolds(root + "/following/tracks/mic", 1, 3.0));
  std::string followingEvents =
      call(service, "GET", "/captures/" + following + "/events?after=0").json.dump();
  service.process->signal(SIGTERM);
  EXPECT_EQ(service.process->wait(30s), 0);

  // The follower ends on the new device's tone; the pinned capture never moved.
  auto tail = [](const std::vector<float>& audio) {
    size_t n = std::min<size_t>(audio.size(), 8000);
    return std::vector<float>(audio.end() - static_cast<ptrdiff_t>(n), audio.end());
  };
  auto [followed, followedSegments] = trackAudio(root + "/following/tracks/mic");
  EXPECT_GE(followedSegments, 1u) << followingEvents;
  std::vector<float> last = tail(followed);
  EXPECT_NEAR(testing_support::toneAmplitude(last, 16000, 500), 0.5, 0.05);
  EXPECT_LT(testing_support::toneAmplitude(last, 16000, 1000), 0.01);
  auto [stayed, stayedSegments] = trackAudio(root + "/pinned/tracks/mic");
  last = tail(stayed);
  EXPECT_NEAR(testing_support::toneAmplitude(last, 16000, 1000), 0.5, 0.05);
  EXPECT_LT(testing_support::toneAmplitude(last, 16000, 500), 0.01);
}

// A server that is not up yet is no refusal: a mic track started before any server was reached
// waits for one and records once it comes.
TEST_P(ServiceOnPipeWire, AMicTrackWaitsForAServerThatIsNotUpYet) {
  ASSERT_TRUE(env_->stopServer());
  CaptureSession s = startCapture(env_->clientEnv(), {{"mic", Json::object()}}, "pw-no-server-");
  ASSERT_FALSE(s.id.empty());
  EXPECT_EQ(call(s.service, "GET", "/permissions").json["microphone"], "not_determined");
  std::this_thread::sleep_for(2500ms); // the server comes later than any connection attempt waits
  ASSERT_TRUE(env_->startServer());
  ASSERT_NE(env_->mic("usb_mic", 1000, {"--default"}), 0);
  // Started on the device at once, or resumed on it when the server came before the device.
  EXPECT_TRUE(eventually([&] {
    std::string events = s.events();
    return events.find("\"track_started\"") != std::string::npos ||
           events.find("\"track_resumed\"") != std::string::npos;
  })) << s.events();
  EXPECT_EQ(s.events().find("microphone_denied"), std::string::npos) << s.events();
  EXPECT_EQ(call(s.service, "GET", "/permissions").json["microphone"], "granted");
  EXPECT_TRUE(newestSegmentHolds(s.track("mic"), 1, 1.0));
}

VA_AUDIO_SERVER_TEST_SUITE(ServiceOnPipeWire);

} // namespace
} // namespace va::e2e
