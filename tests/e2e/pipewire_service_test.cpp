// The built service against a private audio server: its microphone tracks and /sources; its
// remote track (which applications it records, when it arms them, how it follows them as they
// come and go); and the service as a guest on a desktop: WirePlumber and the PulseAudio bridge,
// with real PulseAudio (pacat, parec) and ALSA (aplay) clients beside our recordings.

#include "e2e/service_process.h"
#include "support/audio_server_test.h"

#include <cmath>
#include <csignal>
#include <cstring>
#include <iostream>
#include <map>
#include <set>
#include <thread>

namespace va::e2e {
namespace {

using testing_support::eventually;
using testing_support::runToCompletion;
using testing_support::toneAmplitude;

using ServiceOnPipeWire = testing_support::AudioServerTest;

Json remote(const std::string& dir, Json match) {
  return {{"dir", dir}, {"remote", {{"strategy", "process-tap"}, {"match", std::move(match)}}}};
}

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
  EXPECT_TRUE(newestSegmentHolds(s.track("mic"), 1, 1.0)) << s.events();
  EXPECT_EQ(s.events().find("microphone_denied"), std::string::npos) << s.events();

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
  EXPECT_EQ(apps, (Json{{{"bundleId", "com.example.another"},
                         {"name", "Another"},
                         {"pids", {other}},
                         {"playing", true}},
                        {{"bundleId", "com.example.player"},
                         {"name", "Player"},
                         {"pids", {first, second}},
                         {"playing", true}}}));
  EXPECT_TRUE(holds(s.call("GET", "/capabilities").json, {{"systemAudio", true}}));
  EXPECT_TRUE(holds(s.call("GET", "/permissions").json,
                    {{"microphone", "granted"}, {"systemAudio", "unknown"}}));

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
  ASSERT_TRUE(
      holds(s.await("track_started"), {{"device", {{"uid", "usb_mic"}}}, {"reason", "start"}}));
  const std::string track = s.track("mic");
  ASSERT_TRUE(newestSegmentHolds(track, 1, 1.5));
  EXPECT_TRUE(endsOnTone(track, 1000, {440}));

  env_->pause(mic);
  ASSERT_TRUE(holds(s.await("mic_stall_restart"), {{"attempt", 1}}));
  EXPECT_TRUE(holds(s.await("track_started"),
                    {{"device", {{"uid", "usb_mic"}}}, {"reason", "stall_restart"}}));
  env_->resume(mic);
  EXPECT_TRUE(growsBy(track, 1.0)) << "no audio after the feeder resumed";
  EXPECT_TRUE(endsOnTone(track, 1000));

  const size_t segments = testing_support::listDir(track).size();
  env_->end(mic);
  EXPECT_TRUE(holds(s.await("track_interrupted"), {{"reason", "device_unavailable"}}));
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
  ASSERT_TRUE(holds(s.await("track_silent"), {{"track", "mic"}, {"silentS", 10.0}}));
  const std::string levels = "/captures/" + s.id + "/levels";
  Json quiet = s.call("GET", levels).json;
  EXPECT_TRUE(holds(quiet, {{"recording", true},
                            {"tracks", {{"mic", {{"rmsDb", -120.0}, {"peakDb", -120.0}}}}}}));

  ASSERT_NE(env_->mic("desk_mic", 500, {"--priority", "3000", "--default"}), 0);
  int64_t audibleAfter = s.after;
  const Json desk = {{"uid", "desk_mic"}};
  EXPECT_TRUE(holds(s.await("default_input_changed"), {{"device", desk}}));
  EXPECT_TRUE(holds(s.await("track_started"), {{"device", desk}, {"reason", "device_changed"}}));
  Json audible = s.awaitEvent(s.id, "track_audible", audibleAfter);
  ASSERT_TRUE(audible.is_object()) << s.events();
  EXPECT_GE(audible["silentS"].get<double>(), 10.0);
  EXPECT_TRUE(
      holds(s.awaitEvent(pinned, "default_input_changed", pinnedAfter), {{"device", desk}}));
  EXPECT_TRUE(growsBy(s.track("mic"), 1.0));
  // 0.5 / sqrt(2), in a window without a hole a loaded machine filled with silence.
  Json heard;
  EXPECT_TRUE(eventually([&] {
    heard = s.call("GET", levels).json;
    return std::abs(heard["tracks"]["mic"]["rmsDb"].get<double>() + 9.0) <= 0.5;
  })) << heard;
  EXPECT_GT(heard["tracks"]["mic"]["tNs"].get<uint64_t>(),
            quiet["tracks"]["mic"]["tNs"].get<uint64_t>());
  std::string events = s.events();
  s.finish();
  // The follower ends on the new device's tone; the pinned capture never moved.
  EXPECT_TRUE(endsOnTone(s.track("mic"), 500, {1000})) << events;
  EXPECT_TRUE(endsOnTone(s.root() + "/pinned/tracks/mic", 1000, {500}));
}

VA_AUDIO_SERVER_TEST_SUITE(ServiceOnPipeWire);

class DesktopClients : public testing_support::AudioServerTest {
protected:
  DesktopClients() : AudioServerTest(/*pulse=*/true) {}

  // Whether a player's node is linked to the speaker, channel by channel.
  static bool linkedToSpeaker(const std::string& node) {
    std::string links = runToCompletion({"/usr/bin/pw-link", "--links"}, 10s).out;
    return std::ranges::all_of(std::array<std::string, 2>{"FL", "FR"}, [&](const std::string& c) {
      return links.find(node + ":output_" + c + "\n  |-> ci_sink:playback_" + c + "\n") !=
             std::string::npos;
    });
  }

  // A second of what the speaker plays, heard through its monitor by a PulseAudio recorder.
  static std::vector<float> speaker() {
    std::string raw = runToCompletion({"/usr/bin/timeout", "-s", "INT", "1.5", "/usr/bin/parec",
                                       "-d", "ci_sink.monitor", "--raw", "--format=float32le",
                                       "--rate=48000", "--channels=1", "--latency-msec=50"},
                                      10s)
                          .out;
    std::vector<float> samples(raw.size() / sizeof(float));
    std::memcpy(samples.data(), raw.data(), samples.size() * sizeof(float));
    // The first moments may predate the link.
    size_t skip = std::min<size_t>(samples.size(), 9600);
    return {samples.begin() + static_cast<ptrdiff_t>(skip), samples.end()};
  }
};

// Our streams never hold up the session manager: with a mic + remote capture running and a
// PulseAudio client recording the same microphone, every native and PulseAudio player started
// later is routed to the speaker and heard there, as is the app we tap, and the recorder gets
// the microphone's audio. PulseAudio and ALSA players are recorded by their identity once they
// play, each track with its own player's tone only; they are named by their own pid, once, never
// by the bridge's.
TEST_P(DesktopClients, LatePlayersAreRoutedAndHeardAndForeignOnesRecordedByIdentity) {
  ASSERT_NE(env_->mic("usb_mic", 1000, {"--default"}), 0);
  ASSERT_NE(env_->app("com.example.player", "Player", 440), 0);
  Service s;
  Json body = remote("", {{"bundleIds", {"com.example.player"}}});
  body["mic"] = Json::object();
  ASSERT_TRUE(s.record(env_->clientEnv(), body));
  ASSERT_TRUE(s.await("app_started").is_object()) << s.events();
  struct Track {
    std::string id, name;
    int hz;
    std::string capture;
    int64_t after = 0;
    pid_t pid = 0;
  } tracks[] = {{"com.example.pulseapp", "PulseApp", 700, {}},
                {"com.example.alsaapp", "AlsaApp", 770, {}}};
  for (Track& t : tracks) {
    t.capture = s.create(remote(s.root() + "/" + t.name, {{"bundleIds", {t.id}}}));
    ASSERT_FALSE(t.capture.empty());
    ASSERT_TRUE(s.awaitEvent(t.capture, "app_waiting", t.after).is_object());
  }
  const std::string micFile = s.root() + "/parec.wav";
  testing_support::ChildProcess parec({"/usr/bin/parec", "-d", "usb_mic", "--format=s16le",
                                       "--rate=48000", "--channels=1", "--latency-msec=50",
                                       "--file-format=wav", micFile},
                                      env_->clientEnv());

  tracks[0].pid = env_->pulseApp(tracks[0].id, tracks[0].name, tracks[0].hz);
  tracks[1].pid = env_->alsaApp(tracks[1].id, tracks[1].name, tracks[1].hz);
  for (Track& t : tracks) {
    ASSERT_NE(t.pid, 0) << env_->error();
    // Seen as soon as it appears and armed by its own notifications, not found by the poll.
    Json deferred = s.awaitEvent(t.capture, "tap_deferred", t.after);
    ASSERT_TRUE(holds(deferred, {{"pid", t.pid}})) << t.name;
    EXPECT_NE(deferred["trigger"], "poll") << t.name;
    EXPECT_TRUE(holds(s.awaitEvent(t.capture, "tap_armed", t.after), {{"pid", t.pid}})) << t.name;
  }
  // Both are armed, so both play now, as a user picking a source sees.
  Reply sources = s.call("GET", "/sources");
  for (const Track& t : tracks) {
    Json entry;
    for (const Json& app : sources.json["applications"])
      if (app["bundleId"] == t.id)
        entry = app;
    EXPECT_TRUE(holds(entry, {{"pids", Json::array({t.pid})}, {"playing", true}}))
        << t.name << ": " << sources.json;
  }

  for (const Track& t : tracks)
    EXPECT_TRUE(newestSegmentHolds(s.root() + "/" + t.name + "/tracks/remote", 1, 1.5)) << t.name;
  EXPECT_TRUE(endsOnTone(s.root() + "/PulseApp/tracks/remote", 700, {440, 770}));
  EXPECT_TRUE(endsOnTone(s.root() + "/AlsaApp/tracks/remote", 770, {440, 700}));

  for (int round = 0; round < 5; ++round) {
    const int nativeHz = 500 + 40 * round, pulseHz = 1500 + 40 * round;
    const std::string native = "Late" + std::to_string(round);
    const std::string pulse = "LatePulse" + std::to_string(round);
    pid_t nativePid = env_->app("com.example.late", native, nativeHz);
    pid_t pulsePid = env_->pulseApp("com.example.latepulse", pulse, pulseHz);
    ASSERT_TRUE(nativePid && pulsePid) << env_->error();
    EXPECT_TRUE(eventually([&] { return linkedToSpeaker(native) && linkedToSpeaker(pulse); }))
        << "round " << round << "\n"
        << runToCompletion({"/usr/bin/pw-link", "--links"}).out;
    std::vector<float> heard = speaker();
    for (int hz : {nativeHz, pulseHz, 440}) { // the tapped app is still heard (6d4162e, 20aedd1)
      // In its best quarter second: a loaded machine may cost the monitor's recorder a moment.
      double best = 0;
      for (size_t at = 0; at + 12000 <= heard.size(); at += 2400)
        best = std::max(best, toneAmplitude(std::span(heard).subspan(at, 12000), 48000, hz));
      EXPECT_GT(best, 0.2) << "round " << round << ", " << hz << " Hz";
    }
    env_->end(nativePid);
    env_->end(pulsePid);
  }

  parec.signal(SIGINT);
  ASSERT_TRUE(parec.wait(10s).has_value());
  std::optional<testing_support::WavFile> wav = testing_support::readWav(micFile);
  ASSERT_TRUE(wav && wav->samples.size() > 48000u) << "the PulseAudio recorder got no audio";
  // The microphone's tone at its level (a loaded machine may cost the recorder a moment or two).
  std::vector<float> mic = testing_support::toFloat(wav->samples);
  double best = 0;
  for (size_t at = 0; at + 12000 <= mic.size(); at += 12000)
    best = std::max(best, toneAmplitude(std::span(mic).subspan(at, 12000), 48000, 1000));
  EXPECT_NEAR(best, 0.5, 0.05);
  // And our own captures went on recording throughout.
  EXPECT_TRUE(newestSegmentHolds(s.track("mic"), 1, 5.0));
  EXPECT_TRUE(newestSegmentHolds(s.track("remote"), 1, 5.0));
  s.finish();
}

// A virtual source made from a null sink offers only monitor ports: it is recorded through them.
// Fed by a PulseAudio player that five remote captures in a row record, each started as the one
// before stops, it holds the player's tone in every 10 ms window, as does each remote track.
TEST_P(DesktopClients, AVirtualSourceAndCapturesInARowOfAPulseAudioPlayerHoldItsTone) {
  ASSERT_NE(env_->pulseApp("com.example.pulseapp", "PulseApp", 700), 0) << env_->error();
  ASSERT_EQ(
      runToCompletion({"/usr/bin/pactl", "load-module", "module-null-sink",
                       "media.class=Audio/Source/Virtual", "sink_name=vsrc", "channel_map=mono"},
                      10s)
          .status,
      0);
  ASSERT_TRUE(eventually([] {
    return runToCompletion({"/usr/bin/pw-link", "PulseApp:output_FL", "vsrc:input_MONO"}, 10s)
               .status == 0;
  }));
  Service s;
  ASSERT_TRUE(s.start(env_->clientEnv()));
  for (int i = 0; i < 5; ++i) {
    const std::string dir = s.root() + "/rec" + std::to_string(i);
    Json body = remote(dir, {{"bundleIds", {"com.example.pulseapp"}}});
    body["mic"] = {{"deviceUid", "vsrc"}};
    std::string id = s.create(body);
    ASSERT_FALSE(id.empty());
    std::this_thread::sleep_for(1500ms);
    ASSERT_EQ(s.stop(id).status, 200);
    for (const char* track : {"mic", "remote"})
      EXPECT_TRUE(heardThroughout(s, id, dir + "/tracks/" + track, track, 700)) << "capture " << i;
  }
  s.finish();
}

// With the session manager and the PulseAudio bridge only, as a desktop has them.
INSTANTIATE_TEST_SUITE_P(Server, DesktopClients, testing::Values(false),
                         testing_support::serverName);

using RemoteTrack = testing_support::AudioServerTest;

// Three captures in one service: an app matched by its identity is recorded and no other app (nor
// the mic); a prefix match mixes every app it names; an app that is not there at the start is
// armed once it has played for a second, and followed into a new segment as it quits and
// relaunches.
TEST_P(RemoteTrack, RecordsTheMatchedAppsAndFollowsThem) {
  ASSERT_NE(env_->mic("usb_mic", 1000, {"--default"}), 0);
  pid_t player = env_->app("com.example.player", "Player", 440);
  ASSERT_NE(player, 0);
  ASSERT_NE(env_->app("com.example.mix.one", "One", 550), 0);
  ASSERT_NE(env_->app("com.example.mix.two", "Two", 660), 0);
  Service s;
  ASSERT_TRUE(s.start(env_->clientEnv()));
  const std::string byId = s.root() + "/by-id", byPrefix = s.root() + "/by-prefix",
                    late = s.root() + "/late";
  std::string idCapture = s.create(remote(byId, {{"bundleIds", {"com.example.player"}}}));
  std::string prefixCapture = s.create(
      remote(byPrefix, {{"bundleIds", Json::array()}, {"bundlePrefixes", {"com.example.mix."}}}));
  std::string lateCapture = s.create(remote(late, {{"bundleIds", {"com.example.late"}}}));
  ASSERT_FALSE(idCapture.empty() || prefixCapture.empty() || lateCapture.empty());
  int64_t idAfter = 0, prefixAfter = 0, lateAfter = 0;

  ASSERT_TRUE(holds(s.awaitEvent(idCapture, "tap_armed", idAfter),
                    {{"pid", player}, {"trigger", "initial"}, {"alreadyRunningAtStart", true}}));
  EXPECT_TRUE(holds(s.awaitEvent(idCapture, "app_started", idAfter), {{"pid", player}}));
  EXPECT_TRUE(s.awaitEvent(idCapture, "track_started", idAfter).is_object());
  Json mixed = s.awaitEvent(prefixCapture, "app_started", prefixAfter);
  EXPECT_EQ(mixed["processes"].size(), 2u) << s.events(prefixCapture);

  EXPECT_TRUE(holds(s.awaitEvent(lateCapture, "app_waiting", lateAfter),
                    {{"match", {{"bundleIds", {"com.example.late"}}}}}));
  pid_t first = env_->app("com.example.late", "Late", 770);
  ASSERT_NE(first, 0);
  Json lateArmed = s.awaitEvent(lateCapture, "tap_armed", lateAfter);
  ASSERT_TRUE(holds(lateArmed, {{"pid", first}, {"alreadyRunningAtStart", false}}));
  EXPECT_NE(lateArmed["trigger"], "initial");
  EXPECT_GE(lateArmed["settledMs"].get<double>(), 1000.0);
  EXPECT_TRUE(s.awaitEvent(lateCapture, "track_started", lateAfter).is_object());
  for (const std::string& dir : {byId, byPrefix, late})
    EXPECT_TRUE(newestSegmentHolds(dir + "/tracks/remote", 1, 1.5)) << dir;
  EXPECT_TRUE(endsOnTone(late + "/tracks/remote", 770, {440, 550, 660, 1000}));

  Reply stopped = s.stop(idCapture);
  ASSERT_EQ(stopped.status, 200);
  EXPECT_EQ(stopped.json["tracks"]["remote"]["frames"],
            testing_support::readTrack(byId + "/tracks/remote").frames);
  EXPECT_TRUE(endsOnTone(byId + "/tracks/remote", 440, {550, 660, 770, 1000}));
  ASSERT_EQ(s.stop(prefixCapture).status, 200);
  EXPECT_TRUE(endsOnTone(byPrefix + "/tracks/remote", 550, {440, 770, 1000}));
  EXPECT_TRUE(endsOnTone(byPrefix + "/tracks/remote", 660));
  EXPECT_EQ(s.call("GET", "/permissions").json["systemAudio"], "unknown");

  env_->end(first);
  EXPECT_TRUE(
      holds(s.awaitEvent(lateCapture, "track_interrupted", lateAfter), {{"reason", "app_exited"}}));
  EXPECT_TRUE(s.awaitEvent(lateCapture, "app_waiting", lateAfter).is_object());
  pid_t second = env_->app("com.example.late", "Late", 880);
  ASSERT_NE(second, 0);
  ASSERT_TRUE(holds(s.awaitEvent(lateCapture, "app_relaunched", lateAfter), {{"pid", second}}));
  Json resumed = s.awaitEvent(lateCapture, "track_resumed", lateAfter);
  EXPECT_GT(resumed["gapS"].get<double>(), 1.0); // it must settle for a second first
  EXPECT_TRUE(newestSegmentHolds(late + "/tracks/remote", 2, 1.5));
  s.finish();
  EXPECT_TRUE(endsOnTone(late + "/tracks/remote", 880, {770})) << s.events(lateCapture);
}

// Nothing is lost while our nodes join the graph: over ten captures in a row, each started as the
// one before stops, each track holds its tone in every 10 ms window (a path that went silent as
// a capture's teardown raced the next one's links held digital silence), over the whole time
// from the create answer to the stop but for the moment its links take to be made (well under
// 0.3 s even under a sanitizer; a node held up by the session manager lost 0.5 s and more), and
// its frames follow the clock: segment n + 1 starts where n ended, the first included, though
// the graph's quantum shrinks as the capture joins (the player asks for 100 ms). Then a mic and a
// remote track side by side, each with its own tone only; the audio server dies under them and
// comes back: each track reports the loss, what was recorded stays valid, and both record again
// once the server is back. Our links never outlive us: they are not lingering, so the server
// removes them with the service, even one killed without a chance to clean up. Before all that,
// under a low descriptor limit, mic + tap captures created and stopped with no pause give back
// every descriptor and thread (quick stops once left the nodes' event descriptors behind until
// no descriptor was left), and the ten captures after them still hear the player (such a burst
// once left its output silent to every new link).
TEST_P(RemoteTrack, TracksLoseNothingAtTheirStartAndOutliveTheAudioServer) {
  ASSERT_NE(env_->mic("usb_mic", 1000, {"--default"}), 0);
  ASSERT_NE(env_->app("com.example.player", "Player", 440), 0);
  Service s;
  ASSERT_TRUE(s.start(env_->clientEnv(), getpid(), {.descriptors = 512}));
  auto quickCycle = [&](int i) {
    Json body = remote(s.root() + "/quick" + std::to_string(i % 3),
                       {{"bundleIds", {"com.example.player"}}});
    body["mic"] = Json::object();
    Reply created = s.call("POST", "/captures", body.dump());
    ASSERT_EQ(created.status, 201) << "cycle " << i << ": " << created.json;
    ASSERT_EQ(s.stop(created.json["captureId"]).status, 200);
  };
  quickCycle(0);
  std::this_thread::sleep_for(1500ms); // the nodes we are done with go a second after their stop
  auto [threads, descriptors] = threadsAndDescriptors(s.process().pid());
  for (int i = 1; i <= 60 && !HasFatalFailure(); ++i)
    quickCycle(i);
  std::this_thread::sleep_for(1500ms);
  auto [threadsAfter, descriptorsAfter] = threadsAndDescriptors(s.process().pid());
  EXPECT_LE(threadsAfter, threads + 8);
  EXPECT_LE(descriptorsAfter, descriptors + 8);
  auto nowS = [] {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
  };
  for (int i = 0; i < 10; ++i) {
    Json body =
        remote(s.root() + "/rec" + std::to_string(i), {{"bundleIds", {"com.example.player"}}});
    body["segmentSeconds"] = 1;
    body["mic"] = Json::object();
    double askedS = nowS();
    Reply created = s.call("POST", "/captures", body.dump());
    double answeredS = nowS();
    ASSERT_EQ(created.status, 201) << created.json;
    std::string id = created.json["captureId"];
    std::this_thread::sleep_for(1500ms);
    double stoppingS = nowS();
    Reply stopped = s.stop(id);
    ASSERT_EQ(stopped.status, 200);
    // Segment times are on the same clock as ours: the first starts after the request (and
    // before the links could take 0.3 s), the next where the first ended.
    Reply events = s.call("GET", "/captures/" + id + "/events?after=0");
    for (const char* track : {"mic", "remote"}) {
      double heldS = stopped.json["tracks"][track]["frames"].get<double>() / 16000;
      EXPECT_GT(heldS, stoppingS - answeredS - 0.3) << "capture " << i << " " << track;
      EXPECT_TRUE(heardThroughout(s, id, s.root() + "/rec" + std::to_string(i) + "/tracks/" + track,
                                  track, track == std::string("mic") ? 1000 : 440))
          << "capture " << i;
      std::vector<Json> segments;
      for (const Json& e : events.json["events"])
        if (e["type"] == "segment_closed" && e["track"] == track)
          segments.push_back(e);
      ASSERT_EQ(segments.size(), 2u) << events.json;
      double firstS = segments[0]["startNs"].get<double>() / 1e9;
      EXPECT_GT(firstS, askedS) << track;
      EXPECT_LT(firstS, answeredS + 0.3) << track;
      EXPECT_NEAR(segments[1]["startNs"].get<double>(), segments[0]["startNs"].get<double>() + 1e9,
                  1e6)
          << track;
    }
  }

  Json body = remote(s.root() + "/rec", {{"bundleIds", {"com.example.player"}}});
  body["mic"] = Json::object();
  ASSERT_FALSE((s.id = s.create(body)).empty());
  ASSERT_TRUE(s.await("app_started").is_object()) << s.events();
  const std::string mic = s.track("mic"), tap = s.track("remote");
  auto eachTrack = [&](const std::string& type) {
    std::set<std::string> tracks;
    for (Json e; tracks.size() < 2 && (e = s.await(type)).is_object();)
      tracks.insert(e["track"].get<std::string>());
    return tracks == std::set<std::string>{"mic", "remote"};
  };
  // Each track holds its own tone only.
  ASSERT_TRUE(newestSegmentHolds(mic, 1, 1.0) && newestSegmentHolds(tap, 1, 1.0));
  EXPECT_TRUE(endsOnTone(mic, 1000, {440}));
  EXPECT_TRUE(endsOnTone(tap, 440, {1000}));

  ASSERT_TRUE(env_->stopServer());
  ASSERT_TRUE(eachTrack("track_interrupted")) << s.events();
  for (const std::string& dir : {mic, tap}) {
    testing_support::TrackFiles files = testing_support::readTrack(dir);
    EXPECT_GT(files.segments, 0) << dir;
    EXPECT_TRUE(files.headersMatchData) << dir;
  }
  ASSERT_TRUE(env_->startServer());
  ASSERT_NE(env_->mic("usb_mic", 1000, {"--default"}), 0);
  ASSERT_NE(env_->app("com.example.player", "Player", 440), 0);
  ASSERT_TRUE(eachTrack("track_resumed")) << s.events();
  EXPECT_TRUE(newestSegmentHolds(mic, 2, 1.0));
  EXPECT_TRUE(newestSegmentHolds(tap, 2, 1.0));
  EXPECT_TRUE(endsOnTone(mic, 1000)) << s.events();
  EXPECT_TRUE(endsOnTone(tap, 440)) << s.events();

  auto links = [] { return runToCompletion({"/usr/bin/pw-link", "--links"}, 10s).out; };
  ASSERT_NE(links().find("velmorrant-audio"), std::string::npos) << links();
  s.process().signal(SIGKILL);
  s.process().wait(10s);
  EXPECT_TRUE(testing_support::eventually([&] {
    return links().find("velmorrant-audio") == std::string::npos;
  })) << links();
  std::string diagnostics = s.process().drainStderr();
  EXPECT_EQ(diagnostics.find("nothing reaches us"), std::string::npos) << diagnostics;
}

VA_AUDIO_SERVER_TEST_SUITE(RemoteTrack);

// Echo cancellation in the simulated room: the far end's speech, played to the default output,
// reaches "room_mic" 60 ms later through the room, 7 dB down. The mic track holds far less of it
// (15 dB from 2 s after it starts talking, 10 dB before, on a loaded machine); "micRaw" holds it
// whole, frame for frame on the same clock; the echo path's delay is told.
using EchoRoom = testing_support::AudioServerTest;

TEST_P(EchoRoom, TheFarEndLeavesTheMicTrackAndMicRawKeepsIt) {
  ASSERT_TRUE(env_->room(60)) << env_->error();
  Service s;
  const std::string speech = s.root() + "/../far.wav";
  ASSERT_EQ(runToCompletion({"/usr/bin/espeak-ng", "-v", "en-us+m3", "-w", speech,
                             "The quarterly numbers look better than we expected. Our team closed "
                             "three new accounts in the north region, and the pipeline for next "
                             "month is strong."})
                .status,
            0);
  ASSERT_TRUE(s.record(
      env_->clientEnv(),
      {{"mic", {{"deviceUid", "room_mic"}, {"echoCancellation", true}, {"keepRaw", true}}}}));
  ASSERT_TRUE(holds(s.await("track_started"), {{"echoCancellation", true}})) << s.events();
  std::this_thread::sleep_for(1s);
  ASSERT_EQ(runToCompletion({"/usr/bin/pw-play", speech}, 60s).status, 0);
  std::this_thread::sleep_for(1s);
  Json summary = s.stop(s.id).json;
  Json path = s.await("echo_path");
  ASSERT_TRUE(path.is_object()) << s.events();
  EXPECT_GE(path["delayMs"].get<double>(), 60) << path;
  EXPECT_LE(path["delayMs"].get<double>(), 200) << path;

  testing_support::TrackFiles mic = testing_support::readTrack(s.track("mic"));
  testing_support::TrackFiles raw = testing_support::readTrack(s.track("micRaw"));
  ASSERT_TRUE(mic.headersMatchData && raw.headersMatchData);
  ASSERT_EQ(mic.perSegment, raw.perSegment);
  EXPECT_EQ(summary["tracks"]["mic"]["frames"], mic.frames) << summary;
  Reply all = s.call("GET", "/captures/" + s.id + "/events?after=0");
  std::map<std::string, std::vector<uint64_t>> starts;
  for (const Json& e : all.json["events"])
    if (e["type"] == "segment_closed")
      starts[e["track"]].push_back(e["startNs"]);
  EXPECT_EQ(starts["mic"], starts["micRaw"]);

  // The far end starts where the raw microphone first passes -50 dBFS in a 10 ms window.
  auto power = [](const std::vector<int16_t>& v, size_t from, size_t to) {
    double sum = 0;
    for (size_t i = from; i < to && i < v.size(); ++i)
      sum += std::pow(v[i] / 32768.0, 2);
    return sum / static_cast<double>(to - from) + 1e-15;
  };
  size_t onset = 0;
  while (onset + 160 < raw.samples.size() && power(raw.samples, onset, onset + 160) < 1e-5)
    onset += 160;
  ASSERT_LT(onset + 6 * 16000, raw.samples.size()) << "no far end in the raw microphone";
  auto erle = [&](double fromS, double toS) {
    size_t from = onset + static_cast<size_t>(fromS * 16000);
    size_t to = onset + static_cast<size_t>(toS * 16000);
    return 10 * std::log10(power(raw.samples, from, to) / power(mic.samples, from, to));
  };
  std::cout << "echo removed: " << erle(0, 2) << " dB in the far end's first 2 s, " << erle(2, 6)
            << " dB after; echo path " << path["delayMs"] << " ms\n";
  // An idle machine gives 16-25 dB and 35-43 dB (echo_bench.sh holds the targets of 15 and 25);
  // a sanitizer build among parallel tests loses blocks and has given 20 and 23.
  EXPECT_GE(erle(0, 2), 10) << "far end's first 2 s";
  EXPECT_GE(erle(2, 6), 15) << "far end alone after 2 s";
}

INSTANTIATE_TEST_SUITE_P(Server, EchoRoom, ::testing::Values(false),
                         ::va::testing_support::serverName);

} // namespace
} // namespace va::e2e
