// Decode over inputs made by independent tools (sox and ffmpeg).

#include "decode/decode.h"

#include "fakes/faulty_file_io.h"
#include "support/audio_files.h"
#include "support/directory.h"

#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <thread>
#include <unistd.h>

namespace va {
namespace {

using Decode::Failure;
using namespace testing_support;
namespace fs = std::filesystem;

class DecodeTest : public testing::Test {
protected:
  static void SetUpTestSuite() {
    // One second of 440 Hz at 0.25 in both channels, 44.1 kHz 16-bit.
    ASSERT_TRUE(makeTone(at("tone.wav"), 44100, 2, 440, 1, 0.25));
  }
  static std::string at(const std::string& name) {
    static const TempDir dir;
    return dir.path() + "/" + name;
  }
  static void write(const std::string& name, const std::string& text) {
    std::ofstream(at(name)) << text;
  }
  // A file of the suite's directory, as the decoder takes it.
  static Decode::Place in(const std::string& name) {
    static const UniqueFd dir = openDirectory(at(""));
    return {dir.get(), name, at(name)};
  }
  // The samples of the output `name`, whose header and length both hold `frames`.
  static std::vector<float> output(const std::string& name, int64_t frames) {
    const WavFile wav = readWav(at(name)).value_or(WavFile{});
    EXPECT_EQ(wav.samples.size(), static_cast<size_t>(frames)) << name;
    EXPECT_EQ(wav.bytes.substr(0, 44),
              std::string(reinterpret_cast<const char*>(Decode::header(frames * 2).data()), 44))
        << name;
    return toFloat(wav.samples);
  }
  // Makes `name` once, with ffmpeg from tone.wav (input 0) and its arguments.
  static std::string encode(const std::string& name, const std::string& args) {
    const std::string line =
        "ffmpeg -nostdin -y -i " + at("tone.wav") + " " + args + " " + at(name);
    EXPECT_TRUE(fs::exists(at(name)) || std::system((line + " >/dev/null 2>&1").c_str()) == 0)
        << name;
    return name;
  }
};

// Whatever the input, the output is one second of the tone in 16 kHz mono 16-bit, under the
// header for its size, readable by everyone, and no temporary file is left, even when the disk
// takes 7 bytes a write (short writes are no failure). One row per kind of decoded samples (16-bit,
// planar and interleaved float) and container (RIFF, MPEG, MP4, Matroska). Six channels are
// averaged with the same weight: a tone in the fourth only is heard at a sixth.
TEST_F(DecodeTest, EveryCommonEncodingBecomesOneSecondOfMono16k) {
  const std::tuple<const char*, const char*, int> cases[] = {
      {"tone.wav", nullptr, 1}, // exact: no encoder pads, trims or colours it
      {"tone.mp3", "-c:a libmp3lame -b:a 128k", 1},
      {"tone.m4a", "-c:a aac -b:a 128k", 1},
      {"tone.webm", "-c:a libopus", 1},
      {"six.wav", "-af 'pan=5.1|c3=c0'", 6},
  };
  FaultyFileIO io;
  io.shortWrites(7);
  for (const auto& [name, args, share] : cases) {
    SCOPED_TRACE(name);
    auto frames = Decode::run(in(args ? encode(name, args) : name), in("out.wav"), io);
    ASSERT_TRUE(frames);
    EXPECT_NEAR(static_cast<double>(*frames), 16000, args ? 400 : 2);
    std::vector<float> samples = output("out.wav", *frames);
    EXPECT_NEAR(toneAmplitude(samples, 16000, 440) * share, 0.25, args ? 0.03 : 0.005);
    EXPECT_LT(toneAmplitude(samples, 16000, 1000), 0.01);
  }
  EXPECT_FALSE(fs::exists(at("out.wav.partial")));
  EXPECT_EQ(fs::status(at("out.wav")).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                fs::perms::others_read);
}

// Each sample of a 1 Hz input makes 16000 of output: a whole frame of it is never converted at
// once (that took 2 GB for one 65535-sample frame), and every output frame still arrives.
TEST_F(DecodeTest, AOneHertzInputIsConvertedASliceAtATime) {
  auto frames =
      Decode::run(in(encode("slow.flac", "-f lavfi -i sine=frequency=0.1:sample_rate=1:"
                                         "duration=64 -map 1 -c:a flac -frame_size 65535")),
                  in("slow-out.wav"));
  ASSERT_TRUE(frames);
  EXPECT_NEAR(static_cast<double>(*frames), 64 * 16000, 16000);
  EXPECT_FALSE(output("slow-out.wav", *frames).empty());
}

// A refused input leaves the output as it was, even when it is the input itself. Playlists and
// concat lists name other files: the service must never open them.
TEST_F(DecodeTest, RefusesWhatIsNotAPlainAudioFileAndOpensNoListedFile) {
  write("empty.wav", "");
  fs::create_symlink(at("tone.wav"), at("link.wav"));
  std::string mp3 = *readFile(at(encode("tone.mp3", "-c:a libmp3lame -b:a 128k")));
  std::ofstream(at("cut.mp3"), std::ios::binary) << mp3.substr(0, 400); // header, no audio
  const std::string target = at("tone.wav");
  write("list.m3u8",
        "#EXTM3U\n#EXT-X-TARGETDURATION:1\n#EXTINF:1.0,\n" + target + "\n#EXT-X-ENDLIST\n");
  write("list.ffconcat", "ffconcat version 1.0\nfile '" + target + "'\n");
  write("list.wav", "ffconcat version 1.0\nfile '" + target + "'\n");
  const std::pair<const char*, Failure> cases[] = {
      {"empty.wav", Failure::unreadable},  {"link.wav", Failure::unreadable},
      {"cut.mp3", Failure::unreadable},    {"kept.wav", Failure::unsupported},
      {"list.m3u8", Failure::unsupported}, {"list.ffconcat", Failure::unsupported},
      {"list.wav", Failure::unsupported},
  };
  write("kept.wav", "an earlier result");
  int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  ASSERT_GE(inotify_add_watch(watch, target.c_str(), IN_OPEN | IN_ACCESS), 0);
  for (const auto& [name, failure] : cases) {
    auto frames = Decode::run(in(name), in("kept.wav"));
    ASSERT_FALSE(frames) << name;
    EXPECT_EQ(frames.error(), failure) << name;
    EXPECT_EQ(readFile(at("kept.wav")), "an earlier result") << name;
    EXPECT_FALSE(fs::exists(at("kept.wav.partial"))) << name;
  }
  char events[4096];
  EXPECT_LT(::read(watch, events, sizeof events), 0) << "the listed file was opened";
  ::close(watch);
}

// The output replaces what lies there: a stale temporary, a temporary that is a link (never
// followed), or the input itself.
TEST_F(DecodeTest, AStaleTemporaryOrTheInputIsReplacedAndALinkedTargetLeftAlone) {
  TempDir outside;
  std::string victim = outside.path() + "/victim";
  std::ofstream(victim) << "not yours";
  write("stale.wav.partial", "left by a crash");
  fs::create_symlink(victim, at("linked.wav.partial"));
  fs::copy_file(at("tone.wav"), at("self.wav"), fs::copy_options::overwrite_existing);
  const std::pair<const char*, const char*> runs[] = {
      {"tone.wav", "stale.wav"}, {"tone.wav", "linked.wav"}, {"self.wav", "self.wav"}};
  for (const auto& [from, to] : runs) {
    auto frames = Decode::run(in(from), in(to));
    ASSERT_TRUE(frames) << to;
    EXPECT_FALSE(output(to, *frames).empty()) << to; // the mono version
    EXPECT_FALSE(fs::exists(fs::symlink_status(at(std::string(to) + ".partial")))) << to;
  }
  EXPECT_EQ(readFile(victim), "not yours");
}

// A disk that fills up or fails at any step, or an output past the limits (declared up front or
// found as it grows: raw AAC declares no length), leaves neither the output nor its temporary file.
TEST_F(DecodeTest, FileFaultsAndLimitsLeaveNothingBehind) {
  const std::string aac = encode("tone.aac", "-c:a aac");
  const std::tuple<const char*, std::function<void(FaultyFileIO&)>, Decode::Limits, Failure>
      cases[] = {
          {"full before the header",
           [](FaultyFileIO& io) { io.setWriteBudget(10); },
           {},
           Failure::unreadable},
          {"full in the samples",
           [](FaultyFileIO& io) { io.setWriteBudget(44 + 1001); },
           {},
           Failure::unreadable},
          {"no descriptor", [](FaultyFileIO& io) { io.failOpens(EMFILE); }, {}, Failure::busy},
          {"fsync error", [](FaultyFileIO& io) { io.failFsyncs(EIO); }, {}, Failure::unreadable},
          {"rename refused",
           [](FaultyFileIO& io) { io.failRenames(EACCES); },
           {},
           Failure::unreadable},
          {"declared too long", {}, {.maxFrames = 8000, .keepFree = {}}, Failure::tooLarge},
          {"grows too long", {}, {.maxFrames = 8000, .keepFree = {}}, Failure::tooLarge},
          {"too little room left",
           {},
           {.maxFrames = Decode::kMaxFrames, .keepFree = [] { return uint64_t{1} << 62; }},
           Failure::noSpace},
      };
  for (const auto& [name, fault, limits, failure] : cases) {
    FaultyFileIO io;
    if (fault)
      fault(io);
    const bool grows = std::string_view(name) == "grows too long";
    auto frames = Decode::run(in(grows ? aac : "tone.wav"), in("faulty.wav"), io, limits);
    ASSERT_FALSE(frames) << name;
    EXPECT_EQ(frames.error(), failure) << name;
    EXPECT_FALSE(fs::exists(at("faulty.wav"))) << name;
    EXPECT_FALSE(fs::exists(at("faulty.wav.partial"))) << name;
  }
}

TEST_F(DecodeTest, TwoRunsToOneOutputLetOneWin) {
  ASSERT_TRUE(makeTone(at("long.wav"), 48000, 2, 440, 300, 0.25));
  std::expected<int64_t, Failure> a, b;
  std::thread first([&] { a = Decode::run(in("long.wav"), in("race.wav")); });
  std::thread second([&] { b = Decode::run(in("long.wav"), in("race.wav")); });
  first.join();
  second.join();
  ASSERT_NE(a.has_value(), b.has_value()) << "one run holds the output while it decodes";
  std::expected<int64_t, Failure> won = a ? a : b, lost = a ? b : a;
  EXPECT_EQ(lost.error(), Failure::unreadable);
  EXPECT_FALSE(output("race.wav", *won).empty());
}

} // namespace
} // namespace va
