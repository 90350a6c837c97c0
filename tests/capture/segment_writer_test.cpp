#include "capture/segment_writer.h"

#include "fakes/faulty_file_io.h"
#include "support/audio_files.h"
#include "support/directory.h"

#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

namespace va {
namespace {

using testing_support::FaultyFileIO;
using testing_support::listDir;
using testing_support::readWav;
using testing_support::TempDir;
namespace fs = std::filesystem;

std::vector<int16_t> ramp(size_t n, int16_t start = 0) {
  std::vector<int16_t> v(n);
  for (size_t i = 0; i < n; ++i)
    v[i] = static_cast<int16_t>(start + static_cast<int16_t>(i % 30000));
  return v;
}

class SegmentWriterTest : public testing::Test {
protected:
  SegmentWriterTest() { ::mkdir(captureDir().c_str(), 0700); }
  std::unique_ptr<SegmentWriter> make(int64_t segmentFrames, FileIO& io = FileIO::posix()) {
    SegmentWriter::Events events{
        .closed = [this](const SegmentInfo& info) { closed_.push_back(info); },
        .writeFailed = [this](const std::string& path,
                              int error) { failed_.emplace_back(path, error); },
        .writeResumed = [this](int64_t lostFrames) { resumed_.push_back(lostFrames); },
    };
    auto w = SegmentWriter::make(testing_support::captureDirectory(captureDir()), "mic",
                                 segmentFrames, std::move(events), io);
    EXPECT_TRUE(w.has_value());
    return w ? std::move(*w) : nullptr;
  }
  // Appends and returns what the writer logged meanwhile.
  // Appends audio that follows on from the previous append without a gap.
  void feed(SegmentWriter& w, const int16_t* samples, size_t count) {
    w.append(samples, count, nextNs_);
    nextNs_ += count * SegmentWriter::kNsPerFrame;
  }
  static constexpr uint64_t kStartNs = 5'000'000'000;
  std::string captureDir() const { return dir_.path() + "/cap"; }
  std::string trackDir() const { return captureDir() + "/tracks/mic"; }
  std::string file(const char* name) const { return trackDir() + "/" + name; }

  TempDir dir_;
  std::vector<SegmentInfo> closed_;
  std::vector<std::pair<std::string, int>> failed_; // path, errno
  std::vector<int64_t> resumed_;                    // frames lost
  uint64_t nextNs_ = kStartNs;
};

TEST(SegmentHeader, EveryByte) {
  const uint8_t expected[44] = {'R', 'I', 'F',  'F',  0x24, 0x7d, 0,    0,    'W',  'A', 'V',
                                'E', 'f', 'm',  't',  ' ',  16,   0,    0,    0,    1,   0,
                                1,   0,   0x80, 0x3e, 0,    0,    0x00, 0x7d, 0,    0,   2,
                                0,   16,  0,    'd',  'a',  't',  'a',  0x00, 0x7d, 0,   0};
  auto h = SegmentWriter::header(32000);
  EXPECT_TRUE(std::equal(h.begin(), h.end(), expected));
}

TEST(SegmentHeader, SizesClamp) {
  struct Case {
    int64_t dataBytes;
    uint32_t riff, data;
  };
  const Case cases[] = {
      {0, 36, 0},
      {-5, 31, 0},
      {4294967259, 4294967295, 4294967259},
      {4294967260, 4294967295, 4294967260},
      {4294967296, 4294967295, 4294967295},
      {INT64_MAX, 4294967295, 4294967295},
  };
  for (const Case& c : cases) {
    auto h = SegmentWriter::header(c.dataBytes);
    auto u32 = [&](size_t at) {
      return uint32_t(h[at]) | uint32_t(h[at + 1]) << 8 | uint32_t(h[at + 2]) << 16 |
             uint32_t(h[at + 3]) << 24;
    };
    EXPECT_EQ(u32(4), c.riff) << c.dataBytes;
    EXPECT_EQ(u32(40), c.data) << c.dataBytes;
  }
}

TEST_F(SegmentWriterTest, CutsARunIntoSegmentsAndFinalisesEach) {
  auto w = make(16000);
  auto samples = ramp(40000);
  feed(*w, samples.data(), samples.size());
  ASSERT_EQ(closed_.size(), 2u);
  EXPECT_EQ(closed_[0].path, "tracks/mic/000001.wav");
  EXPECT_EQ(closed_[1].path, "tracks/mic/000002.wav");
  EXPECT_EQ(closed_[1].index, 2);
  EXPECT_EQ(closed_[1].frames, 16000);
  EXPECT_TRUE(w->isOpen());

  w->closeSegment();
  ASSERT_EQ(closed_.size(), 3u);
  EXPECT_EQ(closed_[2].frames, 8000);
  EXPECT_EQ(w->closedSegments(), 3);
  EXPECT_EQ(w->totalFrames(), 40000);
  for (size_t i = 0; i < 3; ++i) // each starts where the one before ended
    EXPECT_EQ(closed_[i].startNs, kStartNs + i * 16000 * SegmentWriter::kNsPerFrame) << i;

  EXPECT_EQ(listDir(trackDir()),
            (std::vector<std::string>{"000001.wav", "000002.wav", "000003.wav"}));
  size_t at = 0;
  for (auto [name, frames] :
       {std::pair{"000001.wav", 16000}, {"000002.wav", 16000}, {"000003.wav", 8000}}) {
    auto wav = readWav(file(name));
    ASSERT_TRUE(wav);
    auto expected = SegmentWriter::header(frames * 2);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), wav->bytes.begin(),
                           [](uint8_t a, char b) { return a == static_cast<uint8_t>(b); }))
        << name;
    ASSERT_EQ(wav->samples.size(), static_cast<size_t>(frames));
    EXPECT_TRUE(std::equal(wav->samples.begin(), wav->samples.end(), samples.begin() + at)) << name;
    at += frames;
    struct stat st {};
    ASSERT_EQ(::stat(file(name).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
  }
  struct stat st {};
  ASSERT_EQ(::stat(trackDir().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  ASSERT_EQ(::stat((dir_.path() + "/cap/tracks").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
}

TEST_F(SegmentWriterTest, ASegmentThatFillsExactlyClosesAtOnce) {
  auto w = make(1000);
  auto samples = ramp(1000);
  feed(*w, samples.data(), 600);
  feed(*w, samples.data() + 600, 400);
  ASSERT_EQ(closed_.size(), 1u);
  EXPECT_FALSE(w->isOpen());
  feed(*w, samples.data(), 1);
  EXPECT_TRUE(w->isOpen());
  EXPECT_EQ(listDir(trackDir()), (std::vector<std::string>{"000001.wav", "000002.wav"}));
}

TEST_F(SegmentWriterTest, HeaderFollowsEverySecondWhileOpen) {
  auto w = make(16000 * 60);
  auto samples = ramp(15999);
  feed(*w, samples.data(), samples.size());
  EXPECT_EQ(readWav(file("000001.wav"))->dataSize, 0u);
  feed(*w, samples.data(), 1);
  auto wav = readWav(file("000001.wav"));
  EXPECT_EQ(wav->riffSize, 32036u);
  EXPECT_EQ(wav->dataSize, 32000u);
  feed(*w, samples.data(), 100);
  EXPECT_EQ(readWav(file("000001.wav"))->dataSize, 32000u); // at most a second behind
  EXPECT_TRUE(closed_.empty());
}

// A directory that already holds segments (a capture directory used again) keeps them: the
// numbering goes on after the highest, and a name taken meanwhile is stepped over, losing nothing.
TEST_F(SegmentWriterTest, NumberingGoesOnAfterTheSegmentsAlreadyThere) {
  ASSERT_EQ(::mkdir((captureDir() + "/tracks").c_str(), 0700), 0);
  ASSERT_EQ(::mkdir(trackDir().c_str(), 0700), 0);
  for (const char* name : {"000001.wav", "000007.wav", "notes.txt", "12345.wav", "00008x.wav"})
    ASSERT_EQ(::close(::open(file(name).c_str(), O_CREAT | O_WRONLY, 0600)), 0);
  auto w = make(100);
  auto samples = ramp(300);
  feed(*w, samples.data(), 100); // 000008
  ASSERT_EQ(::close(::open(file("000009.wav").c_str(), O_CREAT | O_WRONLY, 0600)), 0);
  feed(*w, samples.data() + 100, 200); // 000010 and 000011
  ASSERT_EQ(closed_.size(), 3u);
  EXPECT_EQ(closed_[0].index, 8);
  EXPECT_EQ(closed_[1].index, 10);
  EXPECT_EQ(closed_[2].index, 11);
  EXPECT_EQ(w->totalFrames(), 300);
  EXPECT_TRUE(failed_.empty());
  EXPECT_EQ(readWav(file("000001.wav")), std::nullopt); // left as it was: empty
}

// Every storage failure is reported once when it starts, and once when audio lands again, with
// the audio lost meanwhile; failed attempts use up no segment number, and the totals are what the
// files hold.
TEST_F(SegmentWriterTest, StorageFailuresAreReportedOnceWithWhatTheyCost) {
  struct Case {
    const char* name;
    std::function<void(FaultyFileIO&)> fault;
    int error;
    int64_t lost;      // frames
    int64_t nextIndex; // of the segment after the failure
  } cases[] = {
      // 1000.5 frames land (the torn half frame is cut), then the disk is full: the rest of that
      // run (600) and four runs of 100 are lost; a header that does not fit makes no file.
      {"disk full", [](FaultyFileIO& io) { io.setWriteBudget(2001); }, ENOSPC, 1000, 2},
      {"write error", [](FaultyFileIO& io) { io.setWriteBudget(0, EIO); }, EIO, 2000, 2},
      {"creation refused", [](FaultyFileIO& io) { io.failOpens(EACCES); }, EACCES, 400, 1},
      {"creation not permitted", [](FaultyFileIO& io) { io.failOpens(EPERM); }, EPERM, 400, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    failed_.clear();
    resumed_.clear();
    closed_.clear();
    fs::remove_all(captureDir() + "/tracks");
    FaultyFileIO io;
    auto w = make(16000 * 60, io);
    auto samples = ramp(1600);
    if (c.error == EACCES || c.error == EPERM) {
      c.fault(io);
      for (int i = 0; i < 4; ++i)
        feed(*w, samples.data(), 100);
    } else {
      feed(*w, samples.data(), 400); // an open segment
      io.setWriteBudget(std::numeric_limits<size_t>::max());
      c.fault(io);
      feed(*w, samples.data(), 1600);
      for (int i = 0; i < 4; ++i)
        feed(*w, samples.data(), 100);
    }
    ASSERT_EQ(failed_.size(), 1u);
    EXPECT_EQ(failed_[0].second, c.error);
    EXPECT_EQ(failed_[0].first, "tracks/mic/000001.wav");
    EXPECT_TRUE(resumed_.empty());
    io.unlimited();
    io.failOpens(0);
    feed(*w, samples.data(), 100);
    w->closeSegment();
    ASSERT_EQ(resumed_.size(), 1u);
    EXPECT_EQ(resumed_[0], c.lost);
    EXPECT_EQ(failed_.size(), 1u);
    ASSERT_FALSE(closed_.empty());
    EXPECT_EQ(closed_.back().index, c.nextIndex);
    EXPECT_EQ(closed_.back().startNs, nextNs_ - 100 * SegmentWriter::kNsPerFrame);
    testing_support::TrackFiles files = testing_support::readTrack(trackDir());
    EXPECT_TRUE(files.headersMatchData);
    EXPECT_EQ(w->totalFrames(), files.frames);
  }
}
// A capture directory removed while recording: the audio of the segment that went with it is
// lost and reported, and the directories are made again (0700) for the next segment.
TEST_F(SegmentWriterTest, ARemovedDirectoryIsReportedAndMadeAgain) {
  auto w = make(16000 * 60);
  auto samples = ramp(16000);
  feed(*w, samples.data(), 8000);
  fs::remove_all(captureDir());
  feed(*w, samples.data(), 16000); // the header refresh after it finds the file gone
  feed(*w, samples.data(), 100);
  w->closeSegment();
  ASSERT_EQ(failed_.size(), 1u);
  EXPECT_EQ(failed_[0], (std::pair<std::string, int>{"tracks/mic/000001.wav", ENOENT}));
  ASSERT_EQ(resumed_.size(), 1u);
  EXPECT_EQ(resumed_[0], 24000); // everything the removed segment held
  ASSERT_EQ(closed_.size(), 1u);
  EXPECT_EQ(closed_[0].startNs, kStartNs + 24000 * SegmentWriter::kNsPerFrame);
  EXPECT_EQ(listDir(trackDir()), std::vector<std::string>{"000002.wav"});
  EXPECT_EQ(readWav(file("000002.wav"))->samples.size(), 100u);
  EXPECT_EQ(w->totalFrames(), 100);
  struct stat st {};
  for (const std::string& dir : {captureDir(), captureDir() + "/tracks", trackDir()}) {
    ASSERT_EQ(::stat(dir.c_str(), &st), 0) << dir;
    EXPECT_EQ(st.st_mode & 0777, 0700u) << dir;
  }
}

// Below the capture directory nothing but plain directories is used: a file or a link where
// "tracks" or "tracks/mic" goes is refused (a link is no directory when it is not followed), and
// no segment lands where a link points.
TEST_F(SegmentWriterTest, RefusesAFileOrALinkWhereATrackDirectoryGoes) {
  struct Case {
    const char* name;
    const char* planted; // below the capture directory
    bool link;           // a link to a directory outside; else an empty file
  } cases[] = {
      {"tracks is a file", "tracks", false},
      {"tracks is a link", "tracks", true},
      {"tracks/mic is a link", "tracks/mic", true},
  };
  for (const Case& c : cases) {
    TempDir root, outside;
    ASSERT_EQ(::mkdir((root.path() + "/tracks").c_str(), 0700), 0);
    std::string planted = root.path() + "/" + c.planted;
    ::rmdir(planted.c_str());
    if (c.link)
      ASSERT_EQ(::symlink(outside.path().c_str(), planted.c_str()), 0) << c.name;
    else
      ASSERT_EQ(::close(::open(planted.c_str(), O_CREAT | O_WRONLY, 0600)), 0) << c.name;
    auto w = SegmentWriter::make(testing_support::captureDirectory(root.path()), "mic", 16000, {});
    ASSERT_FALSE(w.has_value()) << c.name;
    EXPECT_EQ(w.error(), std::make_error_code(std::errc::not_a_directory)) << c.name;
    EXPECT_TRUE(listDir(outside.path()).empty()) << c.name;
  }
}

// A writer keeps its own track directory: one swapped for a link while it records changes
// nothing, and its segments go on into the directory it made.
TEST_F(SegmentWriterTest, ALinkSwappedInWhileRecordingRedirectsNothing) {
  auto w = make(1600);
  std::vector<int16_t> samples = ramp(1600);
  feed(*w, samples.data(), samples.size());
  TempDir outside;
  const std::string moved = captureDir() + "/tracks/elsewhere";
  ASSERT_EQ(::rename(trackDir().c_str(), moved.c_str()), 0);
  ASSERT_EQ(::symlink(outside.path().c_str(), trackDir().c_str()), 0);
  feed(*w, samples.data(), samples.size());
  w->closeSegment();
  EXPECT_TRUE(listDir(outside.path()).empty());
  EXPECT_EQ(listDir(moved), (std::vector<std::string>{"000001.wav", "000002.wav"}));
}

} // namespace
} // namespace va
