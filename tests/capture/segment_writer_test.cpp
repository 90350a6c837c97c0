#include "capture/segment_writer.h"

#include "fakes/faulty_file_io.h"
#include "support/audio_files.h"
#include "support/directory.h"

#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <numeric>
#include <sys/stat.h>
#include <unistd.h>

namespace va {
namespace {

using testing_support::FaultyFileIO;
using testing_support::listDir;
using testing_support::readTrack;
using testing_support::TempDir;

void touch(const std::string& path) {
  ASSERT_EQ(::close(::open(path.c_str(), O_CREAT | O_WRONLY, 0600)), 0) << path;
}

class SegmentWriterTest : public testing::Test {
protected:
  SegmentWriterTest() { std::filesystem::create_directories(captureDir()); }
  // Made again from the test's directory as the root, unless not `rooted`.
  std::unique_ptr<SegmentWriter> make(int64_t segmentFrames, FileIO& io = FileIO::posix(),
                                      bool rooted = true) {
    SegmentWriter::Events events{
        .closed = [this](const SegmentInfo& info) { closed_.push_back(info); },
        .writeFailed = [this](const std::string& path,
                              int error) { failed_.emplace_back(path, error); },
        .writeResumed = [this](int64_t lostFrames) { resumed_.push_back(lostFrames); },
    };
    auto w = SegmentWriter::make(
        testing_support::captureDirectory(captureDir(), rooted ? dir_.path() : ""), "mic",
        segmentFrames, std::move(events), io);
    EXPECT_TRUE(w.has_value());
    return w ? std::move(*w) : nullptr;
  }
  // Appends the first `count` frames of a ramp, following on from the previous append.
  void feed(SegmentWriter& w, size_t count) {
    w.append(ramp_.data(), count, nextNs_);
    nextNs_ += count * SegmentWriter::kNsPerFrame;
  }
  static constexpr uint64_t kStartNs = 5'000'000'000;
  std::string captureDir() const { return dir_.path() + "/p/cap"; }
  std::string trackDir() const { return captureDir() + "/tracks/mic"; }
  std::string file(const char* name) const { return trackDir() + "/" + name; }

  TempDir dir_;
  std::vector<SegmentInfo> closed_;
  std::vector<std::pair<std::string, int>> failed_; // path, errno
  std::vector<int64_t> resumed_;                    // frames lost
  uint64_t nextNs_ = kStartNs;
  const std::vector<int16_t> ramp_ = [] {
    std::vector<int16_t> v(24000);
    std::iota(v.begin(), v.end(), int16_t{0});
    return v;
  }();
};

TEST(SegmentHeader, SizesClamp) {
  // Data bytes, and the RIFF and data sizes.
  const std::tuple<int64_t, uint32_t, uint32_t> cases[] = {{0, 36, 0},
                                                           {-5, 31, 0},
                                                           {4294967259, 4294967295, 4294967259},
                                                           {4294967260, 4294967295, 4294967260},
                                                           {4294967296, 4294967295, 4294967295},
                                                           {INT64_MAX, 4294967295, 4294967295}};
  for (auto [dataBytes, riff, data] : cases) {
    auto h = SegmentWriter::header(dataBytes);
    auto u32 = [&](size_t at) {
      return uint32_t(h[at]) | uint32_t(h[at + 1]) << 8 | uint32_t(h[at + 2]) << 16 |
             uint32_t(h[at + 3]) << 24;
    };
    EXPECT_EQ(u32(4), riff) << dataBytes;
    EXPECT_EQ(u32(40), data) << dataBytes;
  }
}

// A segment that fills exactly is closed at once; the next append opens the next one, and a run
// longer than a segment is cut.
TEST_F(SegmentWriterTest, CutsARunIntoSegmentsAndFinalisesEach) {
  auto w = make(16000);
  feed(*w, 6000);
  feed(*w, 10000);
  ASSERT_EQ(closed_.size(), 1u);
  EXPECT_FALSE(w->isOpen());
  feed(*w, 24000);
  EXPECT_TRUE(w->isOpen());
  w->closeSegment();
  ASSERT_EQ(closed_.size(), 3u);
  EXPECT_EQ(w->totalFrames(), 40000);
  for (int64_t i = 0; i < 3; ++i) { // each starts where the one before ended
    EXPECT_EQ(closed_[i].index, i + 1);
    EXPECT_EQ(closed_[i].path, "tracks/mic/00000" + std::to_string(i + 1) + ".wav");
    EXPECT_EQ(closed_[i].frames, i < 2 ? 16000 : 8000);
    EXPECT_EQ(closed_[i].startNs, kStartNs + i * 16000 * SegmentWriter::kNsPerFrame);
  }
  testing_support::TrackFiles files = readTrack(trackDir());
  EXPECT_TRUE(files.headersMatchData);
  EXPECT_EQ(files.perSegment, (std::vector<int64_t>{16000, 16000, 8000}));
  std::vector<int16_t> expected(ramp_.begin(), ramp_.begin() + 6000);
  expected.insert(expected.end(), ramp_.begin(), ramp_.begin() + 10000);
  expected.insert(expected.end(), ramp_.begin(), ramp_.end());
  EXPECT_EQ(files.samples, expected);
  // Every byte of the header of one second: PCM, mono, 16000 Hz, 16 bits.
  const std::string header(
      "RIFF\x24\x7d\0\0WAVEfmt \x10\0\0\0\x01\0\x01\0\x80\x3e\0\0\x00\x7d\0\0\x02\0\x10\0"
      "data\x00\x7d\0\0",
      44);
  EXPECT_EQ(testing_support::readFile(file("000001.wav"))->substr(0, 44), header);
}

// A directory that already holds segments (a capture directory used again) keeps them: the
// numbering goes on after the highest, and a name taken meanwhile is stepped over, losing nothing.
TEST_F(SegmentWriterTest, NumberingGoesOnAfterTheSegmentsAlreadyThere) {
  std::filesystem::create_directories(trackDir());
  for (const char* name : {"000001.wav", "000007.wav", "notes.txt", "12345.wav", "00008x.wav"})
    touch(file(name));
  auto w = make(100);
  feed(*w, 100); // 000008
  touch(file("000009.wav"));
  feed(*w, 200); // 000010 and 000011
  ASSERT_EQ(closed_.size(), 3u);
  EXPECT_EQ(closed_[0].index, 8);
  EXPECT_EQ(closed_[1].index, 10);
  EXPECT_EQ(closed_[2].index, 11);
  EXPECT_EQ(w->totalFrames(), 300);
  EXPECT_TRUE(failed_.empty());
  EXPECT_EQ(testing_support::readFile(file("000001.wav")), ""); // left as it was
}

// Every storage failure is reported once when it starts, and once when audio lands again, with
// the audio lost meanwhile; failed attempts use up no segment number, and the totals are what the
// files hold.
TEST_F(SegmentWriterTest, StorageFailuresAreReportedOnceWithWhatTheyCost) {
  // The fault, its errno, the frames lost and the index of the segment after the failure.
  // and the diagnostic line.
  using Fault = std::function<void(FaultyFileIO&)>;
  const std::tuple<const char*, Fault, int, int64_t, int64_t, const char*> cases[] = {
      // 1000.5 frames land (the torn half frame is cut), then the disk is full: the rest of that
      // run (600) and four runs of 100 are lost; a header that does not fit makes no file.
      {"disk full", [](FaultyFileIO& io) { io.setWriteBudget(2001); }, ENOSPC, 1000, 2,
       "write failed (errno 28); segment closed"},
      {"write error", [](FaultyFileIO& io) { io.setWriteBudget(0, EIO); }, EIO, 2000, 2,
       "write failed (errno 5); segment closed"},
      {"creation refused", [](FaultyFileIO& io) { io.failOpens(EACCES); }, EACCES, 400, 1,
       "cannot create segment 1 (errno 13)"},
  };
  for (const auto& [name, fault, error, lost, nextIndex, line] : cases) {
    SCOPED_TRACE(name);
    failed_.clear();
    resumed_.clear();
    closed_.clear();
    std::filesystem::remove_all(captureDir() + "/tracks");
    FaultyFileIO io;
    auto w = make(16000 * 60, io);
    if (nextIndex == 2) // the fault comes on an open segment
      feed(*w, 400);
    fault(io);
    testing::internal::CaptureStderr();
    if (nextIndex == 2)
      feed(*w, 1600);
    for (int i = 0; i < 4; ++i)
      feed(*w, 100);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[audio] mic: " + std::string(line) + "\n");
    EXPECT_EQ(failed_.size(), 1u); // reported as it starts
    EXPECT_TRUE(resumed_.empty());
    io.unlimited();
    io.failOpens(0);
    feed(*w, 100);
    w->closeSegment();
    EXPECT_EQ(resumed_, std::vector<int64_t>{lost});
    EXPECT_EQ(failed_,
              (std::vector<std::pair<std::string, int>>{{"tracks/mic/000001.wav", error}}));
    ASSERT_FALSE(closed_.empty());
    EXPECT_EQ(closed_.back().index, nextIndex);
    EXPECT_EQ(closed_.back().startNs, nextNs_ - 100 * SegmentWriter::kNsPerFrame);
    testing_support::TrackFiles files = readTrack(trackDir());
    EXPECT_TRUE(files.headersMatchData);
    EXPECT_EQ(w->totalFrames(), files.frames);
    EXPECT_EQ(w->lostFrames(), lost);
  }
}

// A capture directory removed while recording: the audio of the segment that went with it is
// lost and reported. The directories are made again for the next segment, but only along the
// capture's path below the root: never into a directory found in its place, never outside the
// root, never without a root. Modes: 0700 for the directories, 0600 for the segments.
TEST_F(SegmentWriterTest, ARemovedDirectoryIsMadeAgainOnlyAlongItsPathBelowTheRoot) {
  namespace fs = std::filesystem;
  TempDir outside;
  const std::string p = dir_.path() + "/p", moved = p + "/y";
  // The change, whether the writer has a root, and whether the directory is made again.
  const std::tuple<const char*, std::function<void()>, bool, bool> cases[] = {
      {"removed", [&] { fs::remove_all(captureDir()); }, true, true},
      {"another in its place",
       [&] {
         fs::rename(captureDir(), moved);
         fs::create_directory(captureDir());
         fs::remove_all(moved);
       },
       true, false},
      {"moved out of the root",
       [&] {
         fs::rename(p, outside.path() + "/p");
         fs::remove_all(outside.path() + "/p/cap");
       },
       true, false},
      {"no root", [&] { fs::remove_all(captureDir()); }, false, false},
  };
  for (const auto& [name, change, rooted, remade] : cases) {
    SCOPED_TRACE(name);
    fs::remove_all(p);
    fs::create_directories(captureDir());
    failed_.clear();
    resumed_.clear();
    closed_.clear();
    auto w = make(16000 * 60, FileIO::posix(), rooted);
    feed(*w, 8000);
    change();
    feed(*w, 16000); // the header refresh after it finds the file gone
    feed(*w, 100);
    w->closeSegment();
    EXPECT_EQ(failed_,
              (std::vector<std::pair<std::string, int>>{{"tracks/mic/000001.wav", ENOENT}}));
    EXPECT_EQ(resumed_, remade ? std::vector<int64_t>{24000} : std::vector<int64_t>{});
    EXPECT_EQ(w->totalFrames(), remade ? 100 : 0);
    EXPECT_FALSE(fs::exists(outside.path() + "/p/cap"));
    if (!remade) {
      EXPECT_FALSE(fs::exists(captureDir() + "/tracks"));
      continue;
    }
    EXPECT_EQ(listDir(trackDir()), std::vector<std::string>{"000002.wav"});
    EXPECT_EQ(closed_.at(0).startNs, nextNs_ - 100 * SegmentWriter::kNsPerFrame);
    for (const std::string& path :
         {captureDir(), captureDir() + "/tracks", trackDir(), file("000002.wav")}) {
      struct stat st {};
      ASSERT_EQ(::stat(path.c_str(), &st), 0) << path;
      EXPECT_EQ(st.st_mode & 0777, S_ISDIR(st.st_mode) ? 0700u : 0600u) << path;
    }
  }
}

// A segment whose fsync fails may be gone after a remount: not closed nor counted, but lost.
TEST_F(SegmentWriterTest, ASegmentThatCannotBeFlushedIsLostNotClosed) {
  FaultyFileIO io;
  auto w = make(1000, io);
  io.failFsyncs(EIO);
  feed(*w, 1000);
  io.failFsyncs(0);
  feed(*w, 500);
  w->closeSegment();
  EXPECT_EQ(failed_, (std::vector<std::pair<std::string, int>>{{"tracks/mic/000001.wav", EIO}}));
  EXPECT_EQ(resumed_, std::vector<int64_t>{1000});
  ASSERT_EQ(closed_.size(), 1u);
  EXPECT_EQ(closed_[0].index, 2);
  EXPECT_EQ(std::tuple(w->closedSegments(), w->totalFrames(), w->lostFrames()),
            std::tuple(1, 500, 1000));
}

// Below the capture directory nothing but plain directories is used: a file or a link where
// "tracks" or "tracks/mic" goes is refused (a link is no directory when it is not followed), and
// no segment lands where a link points.
TEST_F(SegmentWriterTest, RefusesAFileOrALinkWhereATrackDirectoryGoes) {
  const std::pair<std::string, bool> cases[] = {
      {"tracks", false}, {"tracks", true}, {"tracks/mic", true}};
  for (const auto& [where, link] : cases) {
    SCOPED_TRACE(where + (link ? " is a link" : " is a file"));
    TempDir root, outside;
    ASSERT_EQ(::mkdir((root.path() + "/tracks").c_str(), 0700), 0);
    std::string planted = root.path() + "/" + where;
    ::rmdir(planted.c_str());
    if (link)
      ASSERT_EQ(::symlink(outside.path().c_str(), planted.c_str()), 0);
    else
      touch(planted);
    auto w = SegmentWriter::make(testing_support::captureDirectory(root.path()), "mic", 16000, {});
    ASSERT_FALSE(w.has_value());
    EXPECT_EQ(w.error(), std::make_error_code(std::errc::not_a_directory));
    EXPECT_TRUE(listDir(outside.path()).empty());
  }
}

// A writer keeps its own track directory: one swapped for a link while it records changes
// nothing, and its segments go on into the directory it made.
TEST_F(SegmentWriterTest, ALinkSwappedInWhileRecordingRedirectsNothing) {
  auto w = make(1600);
  feed(*w, 1600);
  TempDir outside;
  const std::string moved = captureDir() + "/tracks/elsewhere";
  ASSERT_EQ(::rename(trackDir().c_str(), moved.c_str()), 0);
  ASSERT_EQ(::symlink(outside.path().c_str(), trackDir().c_str()), 0);
  feed(*w, 1600);
  w->closeSegment();
  EXPECT_TRUE(listDir(outside.path()).empty());
  EXPECT_EQ(listDir(moved), (std::vector<std::string>{"000001.wav", "000002.wav"}));
}

} // namespace
} // namespace va
