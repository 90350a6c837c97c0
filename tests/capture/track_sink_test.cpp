#include "capture/track_sink.h"

#include "core/manual_queue.h"
#include "fakes/faulty_file_io.h"
#include "support/audio_files.h"
#include "support/directory.h"

#include <cmath>
#include <cstring>
#include <gtest/gtest.h>

namespace va {
namespace {

using testing_support::toFloat;
using testing_support::toneAmplitude;

constexpr uint64_t kStartNs = 1'000'000'000;

// Feeds a continuous 440 Hz sine of amplitude 0.25 in 10 ms blocks.
struct ToneFeeder {
  double rateHz;
  uint64_t nextNs = kStartNs;
  double phase = 0;

  void feed(TrackSink& sink, double seconds) {
    auto blockFrames = static_cast<size_t>(rateHz / 100);
    std::vector<float> block(blockFrames);
    for (long b = 0; b < std::lround(seconds * 100); ++b) {
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
    auto sink = TrackSink::make("mic", directory_, segmentSeconds, events_, clock_,
                                {.queue = nullptr, .io = &io_, .levels = levels_});
    EXPECT_TRUE(sink.has_value());
    return sink ? *sink : nullptr;
  }
  std::vector<CaptureEvent> eventsOf(const std::string& type) const {
    std::vector<CaptureEvent> found;
    for (CaptureEvent& e : events_->snapshot(0))
      if (e.type == type)
        found.push_back(std::move(e));
    return found;
  }
  std::string trackDir() const { return dir_.path() + "/tracks/mic"; }
  // The files, checked against the summary: as many segments and frames, headers that match.
  testing_support::TrackFiles filesAs(const TrackSummary& summary) {
    testing_support::TrackFiles files = testing_support::readTrack(trackDir());
    EXPECT_TRUE(files.headersMatchData);
    EXPECT_EQ(files.segments, summary.segments);
    EXPECT_EQ(files.frames, summary.frames);
    return files;
  }

  testing_support::TempDir dir_;
  testing_support::FaultyFileIO io_; // no fault until one is asked for
  std::shared_ptr<const CaptureDirectory> directory_ =
      testing_support::captureDirectory(dir_.path());
  std::shared_ptr<ManualClock> clock_ = std::make_shared<ManualClock>(5);
  std::shared_ptr<EventLog> events_ = std::make_shared<EventLog>(clock_);
  std::shared_ptr<TrackLevels> levels_ = std::make_shared<TrackLevels>();
};

class TrackSinkRateTest : public TrackSinkTest, public testing::WithParamInterface<double> {};

// Across segments too: they join without a click, each starts where the one before ended (on
// the host clock of the blocks), and the published level is the tone's.
TEST_P(TrackSinkRateTest, AToneKeepsItsFrequencyAndLevelAndJoinsWithoutClicks) {
  auto sink = make(1);
  ToneFeeder tone{GetParam()};
  EXPECT_TRUE(levels_->snapshot().empty()); // nothing written yet
  tone.feed(*sink, 3.5);
  TrackSummary summary = sink->finish();
  EXPECT_EQ(summary.segments, 4);
  EXPECT_NEAR(summary.frames, 56000, 2); // the converter's tail is flushed, nothing lost
  std::vector<float> out = toFloat(filesAs(summary).samples);
  // Leave out the filter's ramp at either end.
  std::span<const float> middle(out.data() + 1600, out.size() - 3200);
  EXPECT_NEAR(toneAmplitude(middle, 16000, 440), 0.25, 0.0025);
  EXPECT_LT(toneAmplitude(middle, 16000, 400), 0.002);
  EXPECT_LT(toneAmplitude(middle, 16000, 480), 0.002);
  // The steepest step of this sine at 16 kHz is 0.25 * 2 pi 440 / 16000 = 0.043.
  EXPECT_LT(testing_support::largestStep(middle), 0.045);

  auto closed = eventsOf("segment_closed");
  ASSERT_EQ(closed.size(), 4u);
  EXPECT_EQ(closed[0].fields, (Json{{"track", "mic"},
                                    {"index", 1},
                                    {"path", "tracks/mic/000001.wav"},
                                    {"frames", 16000},
                                    {"durationS", 1.0},
                                    {"startNs", kStartNs}}));
  for (size_t i = 1; i < closed.size(); ++i)
    EXPECT_NEAR(closed[i].fields["startNs"].get<double>(),
                closed[i - 1].fields["startNs"].get<double>() +
                    closed[i - 1].fields["frames"].get<double>() * 62500,
                1e6)
        << i;
  Level level = levels_->snapshot()["mic"];
  EXPECT_NEAR(level.rmsDb, -15.05, 0.06); // 0.25 / sqrt(2)
  EXPECT_NEAR(level.peakDb, -12.0, 0.1);
  EXPECT_NEAR(static_cast<double>(level.tNs), static_cast<double>(tone.nextNs), 1e6);
}

INSTANTIATE_TEST_SUITE_P(Rates, TrackSinkRateTest,
                         testing::Values(48000.0, 44100.0, 96000.0, 16000.0, 8000.0));

// A block later than due by at most half a second follows a hole: silence of the hole's exact
// length fills it and is counted. Later still, or after a split, a new segment starts at its
// first block's time; a block that comes early is taken as continuous.
TEST_F(TrackSinkTest, AHoleIsFilledAndOnlyAGapOfMoreThanHalfASecondStartsANewFile) {
  // The second block's lateness, the segments made and the 16 kHz frames filled.
  const std::tuple<int64_t, int64_t, int64_t> cases[] = {{400'000, 1, 0},
                                                         {10'000'000, 1, 160},
                                                         {500'000'000, 1, 8000},
                                                         {500'000'001, 2, 0},
                                                         {-200'000'000, 1, 0}};
  for (auto [lateNs, segments, filled] : cases) {
    SCOPED_TRACE(lateNs);
    auto sink = make();
    std::vector<float> block(480, 0.1f);
    auto secondNs = static_cast<uint64_t>(kStartNs + 10'000'000 + lateNs);
    size_t before = eventsOf("segment_closed").size();
    size_t dropouts = eventsOf("audio_dropout").size();
    sink->write(block, 48000, kStartNs);
    sink->write(block, 48000, secondNs);
    TrackSummary summary = sink->finish();
    EXPECT_EQ(summary.segments, segments);
    EXPECT_NEAR(summary.frames, 320 + filled, 2);
    EXPECT_EQ(summary.droppedFrames, filled);
    auto closed = eventsOf("segment_closed");
    ASSERT_EQ(closed.size(), before + segments);
    EXPECT_EQ(closed[before].fields["startNs"], kStartNs);
    EXPECT_EQ(closed.back().fields["startNs"], segments == 2 ? secondNs : kStartNs);
    auto reported = eventsOf("audio_dropout");
    ASSERT_EQ(reported.size(), dropouts + (filled > 0 ? 1 : 0));
    if (filled > 0) {
      EXPECT_EQ(reported.back().fields,
                (Json{{"track", "mic"}, {"lostS", lateNs / 1e9}, {"holes", 1}}));
    }
  }
}

// Cycles lost now and then (one 1024-frame cycle in every 50, at 48 kHz): every frame still lies
// at the first segment's start + n / 16000 s, so the tone keeps its phase on the clock across
// every hole and segment, and the holes are silent. Holes are reported at most every 10 s, and
// the rest when the track finishes.
TEST_F(TrackSinkTest, LostCyclesKeepEveryFrameOnTheClock) {
  auto sink = make(7);
  const double rate = 48000, hz = 440, amplitude = 0.25;
  const uint64_t cycleNs = 21'333'333;
  std::vector<float> block(1024);
  std::vector<std::pair<int64_t, int64_t>> holes; // 16 kHz frames [from, to)
  int64_t cycles = 25 * 48000 / 1024;
  for (int64_t c = 0; c < cycles; ++c) {
    uint64_t startNs = kStartNs + static_cast<uint64_t>(c * 1024 * 1e9 / rate);
    if (c % 50 == 49) {
      holes.emplace_back(c * 1024 / 3, (c + 1) * 1024 / 3);
      continue;
    }
    for (size_t i = 0; i < block.size(); ++i)
      block[i] = static_cast<float>(
          amplitude * std::sin(2 * M_PI * hz * static_cast<double>(c * 1024 + i) / rate));
    sink->write(block, rate, startNs);
    if (c % 200 == 0) // paced, as a device would: the queue takes at most 10 s
      sink->waitIdle();
  }
  TrackSummary summary = sink->finish();
  std::vector<float> out = toFloat(filesAs(summary).samples);
  EXPECT_NEAR(static_cast<double>(out.size()), cycles * 1024 / 3.0, 2);
  EXPECT_NEAR(summary.droppedFrames, static_cast<double>(holes.size()) * cycleNs * 16000 / 1e9, 2);
  // Silence inside a hole, the tone elsewhere; the converter's filter blurs 2 ms at each edge.
  auto expected = [&](int64_t n) -> std::optional<double> {
    for (auto [from, to] : holes)
      if (n >= from - 32 && n < to + 32)
        return n >= from + 32 && n < to - 32 ? std::optional(0.0) : std::nullopt;
    return amplitude * std::sin(2 * M_PI * hz * static_cast<double>(n) / 16000);
  };
  for (int64_t at = 320; at + 160 <= static_cast<int64_t>(out.size()); at += 160) {
    double worst = 0;
    for (int64_t n = at; n < at + 160; ++n)
      if (std::optional<double> want = expected(n))
        worst = std::max(worst, std::abs(out[static_cast<size_t>(n)] - *want));
    ASSERT_LT(worst, 0.01) << "10 ms window at frame " << at;
  }
  auto reported = eventsOf("audio_dropout");
  // At the first hole (1.0 s), at the first one 10 s after each report (11.7 s, 22.4 s), and the
  // rest at the finish.
  ASSERT_EQ(reported.size(), 4u);
  int64_t holesReported = 0;
  for (const auto& e : reported)
    holesReported += e.fields["holes"].get<int64_t>();
  EXPECT_EQ(holesReported, static_cast<int64_t>(holes.size()));
  auto closed = eventsOf("segment_closed");
  for (size_t i = 0; i < closed.size(); ++i)
    EXPECT_NEAR(closed[i].fields["startNs"].get<double>(), kStartNs + i * 7e9, 1e6) << i;
}

// Blocks without audio, a rate or a converter (each of these last logged with its rate) leave no
// trace; a rate change keeps the segment and loses nothing; a split starts a new one; finish is
// final.
TEST_F(TrackSinkTest, UnrecordableBlocksLeaveNoTraceARateChangeKeepsTheSegmentFinishIsFinal) {
  auto sink = make();
  std::vector<float> block(480, 0.1f);
  clock_->set(42);
  sink->write({}, 48000, kStartNs);
  for (double rate : {0.0, -48000.0, std::nan("")})
    sink->write(block, rate, kStartNs);
  EXPECT_EQ(sink->lastFrameNs(), 0u);
  testing::internal::CaptureStderr();
  for (double rate : {100.0, 999.5, 1e-05, HUGE_VAL})
    sink->write(block, rate, kStartNs);
  sink->waitIdle();
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "[audio] mic: no converter from 100.0 Hz\n[audio] mic: no converter from 999.5 Hz\n"
            "[audio] mic: no converter from 1e-05 Hz\n[audio] mic: no converter from inf Hz\n");
  EXPECT_TRUE(testing_support::listDir(trackDir()).empty());
  EXPECT_TRUE(events_->snapshot(0).empty());

  ToneFeeder tone{48000};
  tone.feed(*sink, 1.0);
  ToneFeeder second{44100, tone.nextNs, tone.phase};
  second.feed(*sink, 1.0);
  sink->split();
  sink->split(); // nothing open: only forgets the expected time
  second.nextNs += 100'000'000;
  uint64_t restartNs = second.nextNs;
  second.feed(*sink, 0.5);
  TrackSummary summary = sink->finish();
  auto files = filesAs(summary);
  ASSERT_EQ(files.perSegment.size(), 2u);
  EXPECT_NEAR(files.perSegment[0], 32000, 4);
  EXPECT_NEAR(files.perSegment[1], 8000, 4);
  auto out = toFloat(files.samples);
  std::span<const float> later(out.data() + 17600, 32000 - 19200);
  EXPECT_NEAR(toneAmplitude(later, 16000, 440), 0.25, 0.0025);
  auto closed = eventsOf("segment_closed");
  ASSERT_EQ(closed.size(), 2u);
  EXPECT_EQ(closed[1].fields["startNs"], restartNs);

  clock_->set(777);
  tone.feed(*sink, 0.2);
  EXPECT_EQ(sink->finish(), summary);
  EXPECT_EQ(sink->lastFrameNs(), 777u); // arrival still counts after finish
  filesAs(summary);
}

// A disk that fills up in the middle of a segment: the audio that finds no room is lost and
// reported ("write_failed", then "write_resumed" with what was lost), recording goes on in a new
// segment once there is room, and the totals are what the files hold. The files themselves are
// the writer's test.
TEST_F(TrackSinkTest, ADiskThatFillsUpMidSegmentLosesOnlyWhatFindsNoRoom) {
  auto sink = make();
  ToneFeeder tone{16000};
  io_.setWriteBudget(44 + 2 * 16500); // the header and 16500 frames
  tone.feed(*sink, 2.0);
  sink->waitIdle();
  io_.unlimited();
  tone.feed(*sink, 1.0);
  TrackSummary summary = sink->finish();
  EXPECT_EQ(filesAs(summary).perSegment, (std::vector<int64_t>{16500, 16000}));
  int64_t closedFrames = 0;
  for (const auto& e : eventsOf("segment_closed"))
    closedFrames += e.fields["frames"].get<int64_t>();
  EXPECT_EQ(closedFrames, summary.frames);
  auto failed = eventsOf("write_failed");
  ASSERT_EQ(failed.size(), 1u);
  EXPECT_EQ(failed[0].fields, (Json{{"track", "mic"},
                                    {"path", "tracks/mic/000001.wav"},
                                    {"errno", ENOSPC},
                                    {"error", std::strerror(ENOSPC)}}));
  auto resumed = eventsOf("write_resumed");
  ASSERT_EQ(resumed.size(), 1u);
  EXPECT_EQ(resumed[0].fields, (Json{{"track", "mic"}, {"lostS", 1.0}})); // 15500 frames
  EXPECT_EQ(summary.lostFrames, 15500);
  auto full =
      make(); // finished while the disk is still full: what was lost is counted all the same
  io_.setWriteBudget(0);
  tone.feed(*full, 1.0);
  EXPECT_EQ(full->finish().lostFrames, 16000);
}

// A disk that blocks (a frozen file system; here a queue that does not run) is noticed from the
// writing side after two seconds; at most ten seconds of audio queue for it, the newer blocks are
// lost (told when the queue is current again, and counted), and the audio after them starts a
// new segment.
TEST_F(TrackSinkTest, ADiskThatBlocksIsToldAndQueuesAtMostTenSeconds) {
  auto queue = std::make_shared<ManualQueue>(clock_);
  auto sink = *TrackSink::make("mic", directory_, 600, events_, clock_,
                               {.queue = queue, .io = &io_, .levels = nullptr});
  ToneFeeder tone{48000};
  tone.feed(*sink, 1.0);
  clock_->advance(TrackSink::kStallNs + 1);
  tone.feed(*sink, 12.0); // 9 s more fit
  EXPECT_EQ(eventsOf("write_stalled").size(), 1u);
  queue->runUntilIdle();
  tone.feed(*sink, 1.0);
  queue->runUntilIdle();
  TrackSummary summary = sink->finish();
  EXPECT_EQ(summary.lostFrames, 3 * 16000);
  EXPECT_NEAR(summary.frames, 11 * 16000, 4);
  EXPECT_EQ(filesAs(summary).perSegment.size(), 2u);
  auto resumed = eventsOf("write_resumed");
  ASSERT_EQ(resumed.size(), 1u);
  EXPECT_EQ(resumed[0].fields, (Json{{"track", "mic"}, {"lostS", 3.0}}));
}

// The thresholds, exactly, on square waves whose RMS is their amplitude: -60 dBFS is 32.8 and
// -50 dBFS is 103.6 in 16-bit units; windows are 1600 frames from the track's first.
TEST(SilenceWatch, ThresholdsAndTiming) {
  using Change = SilenceWatch::Change;
  using Stretches = std::vector<std::pair<int, int64_t>>;  // amplitude, frames
  using Changes = std::vector<std::pair<int64_t, Change>>; // at the frame where it is known
  const std::tuple<const char*, Stretches, Changes> cases[] = {
      {"10 s below -60 dBFS", {{32, 160000}}, {{160000, {true, 160000}}}},
      {"a frame short of 10 s", {{0, 159999}}, {}},
      {"just above -60 dBFS", {{33, 320000}}, {}},
      {"one window of sound starts the count again",
       {{0, 80000}, {1000, 1600}, {0, 160000}},
       {{241600, {true, 160000}}}},
      {"0.5 s above -50 dBFS ends it",
       {{0, 160000}, {104, 8000}},
       {{160000, {true, 160000}}, {168000, {false, 160000}}}},
      {"between the thresholds is still silent",
       {{0, 160000}, {103, 32000}},
       {{160000, {true, 160000}}}},
      {"a short burst is part of the silence",
       {{0, 160000}, {104, 6400}, {0, 16000}, {104, 8000}},
       {{160000, {true, 160000}}, {190400, {false, 182400}}}},
  };
  for (const auto& [name, input, expected] : cases) {
    SCOPED_TRACE(name);
    SilenceWatch watch;
    Changes seen;
    int64_t at = 0;
    for (auto [amplitude, frames] : input) {
      for (int64_t i = 0; i < frames; ++i, ++at) {
        int16_t sample = static_cast<int16_t>(at % 2 ? amplitude : -amplitude);
        watch.add(std::span(&sample, 1),
                  [&](const Change& change) { seen.emplace_back(at + 1, change); });
      }
    }
    EXPECT_EQ(seen, expected);
  }
}

TEST(LevelMeter, RmsAndPeakOfTheLastTenthOfASecond) {
  const std::pair<std::vector<int16_t>, std::optional<Level>> cases[] = {
      {{}, std::nullopt}, // nothing yet: no level
      {{-32768}, Level{0.0, 0.0, 7}},
      {{1}, Level{-90.3, -90.3, 7}},
      // Only the newest 1600 count: the loud start has left the window.
      {[] {
         std::vector<int16_t> v(3200, 0);
         v[0] = 32767;
         for (size_t i = 1600; i < 3200; ++i)
           v[i] = static_cast<int16_t>(i % 2 ? 3277 : -3277);
         v[3199] = -16384;
         return v;
       }(),
       Level{-19.9, -6.0, 7}},
  };
  for (const auto& [samples, expected] : cases) {
    LevelMeter meter;
    for (size_t at = 0; at < samples.size(); at += 700)
      meter.add(std::span(samples).subspan(at, std::min<size_t>(700, samples.size() - at)));
    EXPECT_EQ(meter.level(7), expected) << samples.size();
  }
}

TEST(Int16Conversion, RoundsAndClips) {
  // Ties go to even.
  // clang-format off
  const std::pair<float, int16_t> cases[] = {
      {0.f, 0},           {1.f, 32767},        {-1.f, -32768},     {2.f, 32767},
      {-2.f, -32768},     {0.5f, 16384},       {-0.5f, -16384},    {1.4f / 32768, 1},
      {1.6f / 32768, 2},  {-1.6f / 32768, -2}, {std::nanf(""), 0}, {INFINITY, 32767},
      {-INFINITY, -32768}, {0.5f / 32768, 0},  {1.5f / 32768, 2},  {2.5f / 32768, 2},
      {-2.5f / 32768, -2}, {32766.5f / 32768, 32766}, {-32767.5f / 32768, -32768}};
  // clang-format on
  for (auto [in, out] : cases)
    EXPECT_EQ(Resampler::toInt16(in), out) << in;
}

} // namespace
} // namespace va
