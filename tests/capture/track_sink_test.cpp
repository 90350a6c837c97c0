#include "capture/track_sink.h"

#include "fakes/faulty_file_io.h"
#include "support/audio_files.h"
#include "support/directory.h"

#include <cmath>
#include <cstring>
#include <gtest/gtest.h>

namespace va {
namespace {

using testing_support::largestStep;
using testing_support::listDir;
using testing_support::readWav;
using testing_support::TempDir;
using testing_support::toFloat;
using testing_support::toneAmplitude;

constexpr uint64_t kStartNs = 1'000'000'000;

// Feeds a continuous 440 Hz sine at amplitude 0.25 in 10 ms blocks.
struct ToneFeeder {
  double rateHz;
  uint64_t nextNs = kStartNs;
  double phase = 0;

  void feed(TrackSink& sink, double seconds) {
    auto blockFrames = static_cast<size_t>(rateHz / 100);
    auto blocks = static_cast<int>(std::lround(seconds * 100));
    std::vector<float> block(blockFrames);
    for (int b = 0; b < blocks; ++b) {
      for (float& s : block) {
        s = static_cast<float>(0.25 * std::sin(phase));
        phase += 2 * M_PI * 440 / rateHz;
      }
      sink.write(block, rateHz, nextNs);
      nextNs += static_cast<uint64_t>(static_cast<double>(blockFrames) / rateHz * 1e9);
    }
  }
};

class TrackSinkTest : public testing::Test {
protected:
  std::shared_ptr<TrackSink> make(int64_t segmentSeconds = 600) {
    auto sink = TrackSink::make("mic", directory_, segmentSeconds, events_, clock_);
    EXPECT_TRUE(sink.has_value());
    return sink ? *sink : nullptr;
  }
  std::string trackDir() const { return dir_.path() + "/tracks/mic"; }
  std::vector<int16_t> samplesOf(const std::string& name) {
    auto wav = readWav(trackDir() + "/" + name);
    EXPECT_TRUE(wav);
    if (!wav)
      return {};
    EXPECT_EQ(wav->dataSize, wav->samples.size() * 2) << name;
    return wav->samples;
  }
  // The summary agrees with the files: as many segments, as many frames.
  void expectSummaryMatchesDisk(const TrackSummary& summary) {
    auto names = listDir(trackDir());
    EXPECT_EQ(static_cast<int64_t>(names.size()), summary.segments);
    int64_t frames = 0;
    for (const auto& name : names)
      frames += static_cast<int64_t>(samplesOf(name).size());
    EXPECT_EQ(frames, summary.frames);
  }

  TempDir dir_;
  std::shared_ptr<const CaptureDirectory> directory_ =
      testing_support::captureDirectory(dir_.path());
  std::shared_ptr<ManualClock> clock_ = std::make_shared<ManualClock>(5);
  std::shared_ptr<EventLog> events_ = std::make_shared<EventLog>(clock_);
};

class TrackSinkRateTest : public TrackSinkTest, public testing::WithParamInterface<double> {};

TEST_P(TrackSinkRateTest, AToneKeepsItsFrequencyAndLevelAndJoinsWithoutClicks) {
  auto sink = make();
  ToneFeeder tone{GetParam()};
  tone.feed(*sink, 3.0);
  TrackSummary summary = sink->finish();
  EXPECT_EQ(summary.segments, 1);
  EXPECT_NEAR(summary.frames, 48000, 2); // the converter's tail is flushed, nothing lost
  expectSummaryMatchesDisk(summary);

  auto out = toFloat(samplesOf("000001.wav"));
  // Leave out the filter's ramp at either end.
  std::span<const float> middle(out.data() + 1600, out.size() - 3200);
  EXPECT_NEAR(toneAmplitude(middle, 16000, 440), 0.25, 0.0025);
  EXPECT_LT(toneAmplitude(middle, 16000, 400), 0.002);
  EXPECT_LT(toneAmplitude(middle, 16000, 480), 0.002);
  // The steepest step of this sine at 16 kHz is 0.25 * 2 pi 440 / 16000 = 0.043.
  EXPECT_LT(largestStep(middle), 0.045);

  auto closed = events_->snapshot(0);
  ASSERT_EQ(closed.size(), 1u);
  EXPECT_EQ(closed[0].type, "segment_closed");
  EXPECT_EQ(closed[0].fields, (Json{{"track", "mic"},
                                    {"index", 1},
                                    {"path", "tracks/mic/000001.wav"},
                                    {"frames", summary.frames},
                                    {"durationS", static_cast<double>(summary.frames) / 16000}}));
}

INSTANTIATE_TEST_SUITE_P(Rates, TrackSinkRateTest,
                         testing::Values(48000.0, 44100.0, 96000.0, 16000.0, 8000.0));

TEST_F(TrackSinkTest, ARateChangeKeepsTheSegmentAndLosesNothing) {
  auto sink = make();
  ToneFeeder tone{48000};
  tone.feed(*sink, 1.0);
  ToneFeeder second{44100, tone.nextNs, tone.phase};
  second.feed(*sink, 1.0);
  TrackSummary summary = sink->finish();
  EXPECT_EQ(summary.segments, 1);
  EXPECT_NEAR(summary.frames, 32000, 4);
  expectSummaryMatchesDisk(summary);
  auto out = toFloat(samplesOf("000001.wav"));
  std::span<const float> later(out.data() + 17600, out.size() - 19200);
  EXPECT_NEAR(toneAmplitude(later, 16000, 440), 0.25, 0.0025);
}

TEST_F(TrackSinkTest, OnlyAHoleOfMoreThanHalfASecondStartsANewFile) {
  struct Case {
    int64_t lateNs; // start of the second block against the end of the first
    size_t files;
  };
  const Case cases[] = {
      {10'000'000, 1}, {500'000'000, 1}, {500'000'001, 2}, {600'000'000, 2}, {-200'000'000, 1}};
  for (const Case& c : cases) {
    TempDir dir;
    auto sink = *TrackSink::make("mic", testing_support::captureDirectory(dir.path()), 600, events_,
                                 clock_);
    std::vector<float> block(480, 0.1f);
    sink->write(block, 48000, kStartNs);
    sink->write(block, 48000, static_cast<uint64_t>(kStartNs + 10'000'000 + c.lateNs));
    TrackSummary summary = sink->finish();
    EXPECT_EQ(listDir(dir.path() + "/tracks/mic").size(), c.files) << c.lateNs;
    EXPECT_EQ(summary.segments, static_cast<int64_t>(c.files)) << c.lateNs;
    EXPECT_NEAR(summary.frames, 320, 2) << c.lateNs;
  }
}

TEST_F(TrackSinkTest, SplitStartsANewSegmentAndFinishIsFinal) {
  auto sink = make();
  ToneFeeder tone{48000};
  tone.feed(*sink, 0.5);
  sink->split();
  sink->split(); // nothing open: only forgets the expected time
  tone.feed(*sink, 0.5);
  TrackSummary summary = sink->finish();
  EXPECT_EQ(summary.segments, 2);
  EXPECT_NEAR(summary.frames, 16000, 4);
  expectSummaryMatchesDisk(summary);

  clock_->set(777);
  tone.feed(*sink, 0.2);
  EXPECT_EQ(sink->finish(), summary);
  EXPECT_EQ(sink->lastFrameNs(), 777u); // arrival still counts after finish
  expectSummaryMatchesDisk(summary);
}

TEST_F(TrackSinkTest, ASinkWithoutAudioLeavesAnEmptyTrackDirectory) {
  auto sink = make();
  std::vector<float> block(480, 0.1f);
  clock_->set(42);
  sink->write({}, 48000, kStartNs);
  sink->write(block, 0, kStartNs);
  sink->write(block, -48000, kStartNs);
  sink->write(block, std::nan(""), kStartNs);
  EXPECT_EQ(sink->lastFrameNs(), 0u);
  EXPECT_EQ(sink->finish(), TrackSummary{});
  EXPECT_TRUE(listDir(trackDir()).empty());
  EXPECT_TRUE(events_->snapshot(0).empty());
}

TEST_F(TrackSinkTest, ARateWithoutAConverterLosesEachBlockWithALine) {
  auto sink = make();
  std::vector<float> block(480, 0.1f);
  testing::internal::CaptureStderr();
  sink->write(block, 100.0, kStartNs);
  sink->write(block, INFINITY, kStartNs + 10'000'000);
  sink->finish();
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "[audio] mic: no converter from 100.0 Hz\n[audio] mic: no converter from inf Hz\n");
  EXPECT_TRUE(listDir(trackDir()).empty());
}

// A disk that fills up in the middle of a segment: the segment keeps what landed, the audio that
// finds no room is lost and reported ("write_failed", then "write_resumed" with what was lost),
// recording goes on in a new segment once there is room, and the totals are what the files hold.
TEST_F(TrackSinkTest, ADiskThatFillsUpMidSegmentLosesOnlyWhatFindsNoRoom) {
  testing_support::FaultyFileIO io;
  auto made =
      TrackSink::make("mic", directory_, 600, events_, clock_, {.queue = nullptr, .io = &io});
  ASSERT_TRUE(made);
  std::shared_ptr<TrackSink> sink = *made;
  ToneFeeder tone{16000};
  io.setWriteBudget(44 + 2 * 16500); // the header and 16500 frames

  tone.feed(*sink, 2.0);
  sink->waitIdle();
  io.unlimited();
  tone.feed(*sink, 1.0);
  TrackSummary summary = sink->finish();
  expectSummaryMatchesDisk(summary);
  EXPECT_EQ(summary.segments, 2);
  auto names = listDir(trackDir());
  ASSERT_EQ(names.size(), 2u);
  EXPECT_EQ(samplesOf(names[0]).size(), 16500u);
  EXPECT_EQ(samplesOf(names[1]).size(), 16000u);
  EXPECT_NEAR(toneAmplitude(toFloat(samplesOf(names[1])), 16000, 440), 0.25, 0.01);

  int64_t logged = 0;
  std::vector<Json> failed, resumed;
  for (const auto& e : events_->snapshot(0)) {
    if (e.type == "segment_closed")
      logged += e.fields["frames"].get<int64_t>();
    if (e.type == "write_failed")
      failed.push_back(e.fields);
    if (e.type == "write_resumed")
      resumed.push_back(e.fields);
  }
  EXPECT_EQ(logged, summary.frames);
  ASSERT_EQ(failed.size(), 1u);
  EXPECT_EQ(failed[0], (Json{{"track", "mic"},
                             {"path", "tracks/mic/000001.wav"},
                             {"errno", ENOSPC},
                             {"error", std::strerror(ENOSPC)}}));
  ASSERT_EQ(resumed.size(), 1u);
  EXPECT_EQ(resumed[0]["track"], "mic");
  EXPECT_NEAR(resumed[0]["lostS"].get<double>(), (32000 - 16500) / 16000.0, 0.1);
}

TEST(FormatRate, LikeADecimalFloatingPointNumber) {
  EXPECT_EQ(formatRate(44100), "44100.0");
  EXPECT_EQ(formatRate(22050.5), "22050.5");
  EXPECT_EQ(formatRate(1e-05), "1e-05");
  EXPECT_EQ(formatRate(INFINITY), "inf");
}

TEST(Int16Conversion, RoundsAndClips) {
  struct Case {
    float in;
    int16_t out;
  };
  const Case cases[] = {
      {0.f, 0},          {1.f, 32767},        {-1.f, -32768},     {2.f, 32767},
      {-2.f, -32768},    {0.5f, 16384},       {-0.5f, -16384},    {1.4f / 32768, 1},
      {1.6f / 32768, 2}, {-1.6f / 32768, -2}, {std::nanf(""), 0}, {INFINITY, 32767}};
  for (const Case& c : cases)
    EXPECT_EQ(Resampler::toInt16(c.in), c.out) << c.in;
}

} // namespace
} // namespace va
