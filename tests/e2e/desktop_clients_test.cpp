// The service as a guest on a desktop: a private server with WirePlumber and the PulseAudio
// bridge, and real PulseAudio (pacat, parec) and ALSA (aplay) clients beside our recordings.

#include "e2e/service_process.h"
#include "support/audio_server_test.h"
#include "support/eventually.h"

#include <csignal>
#include <cstring>
#include <set>
#include <sstream>

namespace va::e2e {
namespace {

using namespace std::chrono_literals;
using testing_support::eventually;
using testing_support::runToCompletion;
using testing_support::toneAmplitude;

class DesktopClients : public testing_support::AudioServerTest {
protected:
  DesktopClients() : AudioServerTest(/*pulse=*/true) {}

  // Whether a player's node is linked to the speaker, channel by channel.
  static bool linkedToSpeaker(const std::string& node) {
    std::istringstream links(runToCompletion({"/usr/bin/pw-link", "--links"}, 10s).out);
    std::set<std::string> linked;
    std::string line, port;
    while (std::getline(links, line)) {
      if (!line.starts_with(" "))
        port = line;
      else if (line == "  |-> ci_sink:playback_FL" && port == node + ":output_FL")
        linked.insert("FL");
      else if (line == "  |-> ci_sink:playback_FR" && port == node + ":output_FR")
        linked.insert("FR");
    }
    return linked.size() == 2;
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
// the microphone's audio.
TEST_P(DesktopClients, LatePlayersAreRoutedAndHeardWhileWeRecord) {
  ASSERT_NE(env_->mic("usb_mic", 1000, {"--default"}), 0);
  ASSERT_NE(env_->app("com.example.player", "Player", 440), 0);
  Service s;
  ASSERT_TRUE(s.record(
      env_->clientEnv(),
      {{"mic", Json::object()},
       {"remote",
        {{"strategy", "process-tap"}, {"match", {{"bundleIds", {"com.example.player"}}}}}}}));
  ASSERT_TRUE(s.await("app_started").is_object()) << s.events();
  const std::string micFile = s.root() + "/parec.wav";
  testing_support::ChildProcess parec({"/usr/bin/parec", "-d", "usb_mic", "--format=s16le",
                                       "--rate=48000", "--channels=1", "--latency-msec=50",
                                       "--file-format=wav", micFile},
                                      env_->clientEnv());

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
    for (int hz : {nativeHz, pulseHz, 440}) // the tapped app is still heard (6d4162e, 20aedd1)
      EXPECT_GT(toneAmplitude(heard, 48000, hz), 0.2) << "round " << round << ", " << hz << " Hz";
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
  // And our own capture went on recording both tracks throughout.
  EXPECT_TRUE(newestSegmentHolds(s.track("mic"), 1, 5.0));
  EXPECT_TRUE(newestSegmentHolds(s.track("remote"), 1, 5.0));
}

// PulseAudio and ALSA players are recorded by their identity once they play, each track with its
// own player's tone only; they are named by their own pid, once, never by the bridge's.
TEST_P(DesktopClients, PulseAudioAndAlsaPlayersAreRecordedByIdentity) {
  ASSERT_NE(env_->app("com.example.native", "Native", 440), 0);
  Service s;
  ASSERT_TRUE(s.start(env_->clientEnv()));
  struct Track {
    std::string id, name;
    int hz;
    std::string capture;
    int64_t after = 0;
    pid_t pid = 0;
  } tracks[] = {{"com.example.pulseapp", "PulseApp", 660, {}},
                {"com.example.alsaapp", "AlsaApp", 770, {}}};
  for (Track& t : tracks) {
    t.capture =
        s.create({{"dir", s.root() + "/" + t.name},
                  {"remote", {{"strategy", "process-tap"}, {"match", {{"bundleIds", {t.id}}}}}}});
    ASSERT_FALSE(t.capture.empty());
    ASSERT_TRUE(s.awaitEvent(t.capture, "app_waiting", t.after).is_object());
  }
  tracks[0].pid = env_->pulseApp(tracks[0].id, tracks[0].name, tracks[0].hz);
  tracks[1].pid = env_->alsaApp(tracks[1].id, tracks[1].name, tracks[1].hz);
  for (Track& t : tracks) {
    ASSERT_NE(t.pid, 0) << env_->error();
    // Seen as soon as it appears and armed by its own notifications, not found by the poll.
    Json deferred = s.awaitEvent(t.capture, "tap_deferred", t.after);
    ASSERT_TRUE(deferred.is_object()) << t.name;
    EXPECT_EQ(deferred["pid"], t.pid) << t.name;
    EXPECT_NE(deferred["trigger"], "poll") << t.name;
    EXPECT_EQ(s.awaitEvent(t.capture, "tap_armed", t.after)["pid"], t.pid) << t.name;
  }
  Reply sources = s.call("GET", "/sources");
  for (const Track& t : tracks) {
    Json pids;
    for (const Json& app : sources.json["applications"])
      if (app["bundleId"] == t.id)
        pids = app["pids"];
    EXPECT_EQ(pids, Json::array({t.pid})) << t.name << ": " << sources.json;
  }
  for (const Track& t : tracks)
    EXPECT_TRUE(newestSegmentHolds(s.root() + "/" + t.name + "/tracks/remote", 1, 1.5)) << t.name;
  s.finish();
  EXPECT_TRUE(endsOnTone(s.root() + "/PulseApp/tracks/remote", 660, {440, 770}));
  EXPECT_TRUE(endsOnTone(s.root() + "/AlsaApp/tracks/remote", 770, {440, 660}));
}

// With the session manager and the PulseAudio bridge only, as a desktop has them.
INSTANTIATE_TEST_SUITE_P(Server, DesktopClients, testing::Values(false),
                         testing_support::serverName);

} // namespace
} // namespace va::e2e
