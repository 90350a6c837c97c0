#include "capture/segment_writer.h"

#include "core/log.h"
#include "core/wav_header.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <vector>

namespace va {

namespace {

std::string segmentName(int64_t index) {
  char name[32];
  std::snprintf(name, sizeof name, "%06lld.wav", static_cast<long long>(index));
  return name;
}

} // namespace

std::expected<UniqueFd, std::error_code> openTrackDirectory(int captureDir,
                                                            const std::string& track) {
  UniqueFd tracks = makeDirectoryAt(captureDir, "tracks", 0700);
  UniqueFd dir = tracks ? makeDirectoryAt(tracks.get(), track, 0700) : UniqueFd();
  if (!dir)
    return std::unexpected(std::error_code(errno, std::generic_category()));
  return dir;
}

std::array<uint8_t, SegmentWriter::kHeaderBytes> SegmentWriter::header(int64_t dataBytes) {
  return wavHeader(dataBytes);
}

std::expected<std::unique_ptr<SegmentWriter>, std::error_code>
SegmentWriter::make(int captureDir, std::string track, int64_t segmentFrames, OnClosed onClosed,
                    FileIO& io) {
  auto dir = openTrackDirectory(captureDir, track);
  if (!dir)
    return std::unexpected(dir.error());
  return std::unique_ptr<SegmentWriter>(new SegmentWriter(std::move(*dir), std::move(track),
                                                          std::max<int64_t>(segmentFrames, 1),
                                                          std::move(onClosed), io));
}

SegmentWriter::SegmentWriter(UniqueFd trackDir, std::string track, int64_t segmentFrames,
                             OnClosed onClosed, FileIO& io)
    : trackDir_(std::move(trackDir)), track_(std::move(track)), segmentFrames_(segmentFrames),
      onClosed_(std::move(onClosed)), io_(io) {}

SegmentWriter::~SegmentWriter() {
  if (fd_ >= 0)
    io_.close(fd_);
}

bool SegmentWriter::open() {
  ++index_; // consumed if the file cannot be created
  std::string name = segmentName(index_);
  int fd = io_.openat(trackDir_.get(), name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0600);
  if (fd < 0) {
    // Every run retries, up to a hundred a second: a failure that repeats is counted, not logged.
    int err = errno;
    if (err == failedOpenErrno_) {
      ++repeatedOpenFailures_;
    } else {
      log(track_ + ": cannot create segment " + std::to_string(index_) + " (errno " +
          std::to_string(err) + ")");
      failedOpenErrno_ = err;
    }
    return false;
  }
  if (repeatedOpenFailures_ > 0)
    log(track_ + ": " + std::to_string(repeatedOpenFailures_) +
        " more segments could not be created before segment " + std::to_string(index_));
  failedOpenErrno_ = 0;
  repeatedOpenFailures_ = 0;
  frames_ = 0;
  framesAtHeader_ = 0;
  auto h = header(0);
  if (writeFully(io_, fd, h.data(), h.size()) != h.size()) {
    // A file without its whole header holds no audio and is not playable: remove it, and give
    // its number back so that a disk that stays full leaves no trail of broken files behind.
    io_.close(fd);
    if (io_.unlinkat(trackDir_.get(), name) == 0)
      --index_;
    return false;
  }
  fd_ = fd;
  return true;
}

void SegmentWriter::writeHeader() {
  auto h = header(frames_ * 2);
  io_.pwrite(fd_, h.data(), h.size(), 0);
  framesAtHeader_ = frames_;
}

void SegmentWriter::append(const int16_t* samples, size_t count) {
  static_assert(std::endian::native == std::endian::little, "samples are written as they lie");
  size_t at = 0;
  while (at < count) {
    if (fd_ < 0 && !open())
      return; // the rest of the run is lost; the next run tries the next index
    size_t k = static_cast<size_t>(
        std::min<int64_t>(segmentFrames_ - frames_, static_cast<int64_t>(count - at)));
    size_t bytes = k * 2;
    size_t written = writeFully(io_, fd_, samples + at, bytes);
    if (written != bytes) {
      int err = errno;
      // Keep the whole frames that reached the file and cut a torn half frame, so the header
      // and the summary count exactly what is on disk.
      int64_t landed = static_cast<int64_t>(written / 2);
      if (written % 2 != 0)
        io_.ftruncate(fd_, static_cast<off_t>(kHeaderBytes + (frames_ + landed) * 2));
      frames_ += landed;
      totalFrames_ += landed;
      log(track_ + ": write failed (errno " + std::to_string(err) + "); segment closed");
      closeSegment();
      return;
    }
    frames_ += static_cast<int64_t>(k);
    totalFrames_ += static_cast<int64_t>(k);
    at += k;
    if (frames_ - framesAtHeader_ >= kHeaderRefreshFrames)
      writeHeader();
    if (frames_ >= segmentFrames_)
      closeSegment();
  }
}

void SegmentWriter::closeSegment() {
  if (fd_ < 0)
    return;
  auto h = header(frames_ * 2);
  if (io_.pwrite(fd_, h.data(), h.size(), 0) != static_cast<ssize_t>(h.size()))
    log(track_ + ": cannot finalise segment " + std::to_string(index_) + " header (errno " +
        std::to_string(errno) + ")");
  framesAtHeader_ = frames_;
  if (io_.fsync(fd_) != 0)
    log(track_ + ": cannot flush segment " + std::to_string(index_) + " (errno " +
        std::to_string(errno) + ")");
  io_.close(fd_);
  fd_ = -1;
  ++closedSegments_;
  if (onClosed_)
    onClosed_(SegmentInfo{index_, "tracks/" + track_ + "/" + segmentName(index_), frames_});
}

} // namespace va
