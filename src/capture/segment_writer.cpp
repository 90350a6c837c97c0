#include "capture/segment_writer.h"

#include "core/log.h"
#include "core/wav_header.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace va {

namespace {

std::string segmentName(int64_t index) {
  char name[32];
  std::snprintf(name, sizeof name, "%06lld.wav", static_cast<long long>(index));
  return name;
}

// The highest segment number ("NNNNNN.wav") in a directory; 0 when there is none.
int64_t highestSegment(int dir) {
  int copy = ::openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* listing = copy >= 0 ? ::fdopendir(copy) : nullptr;
  if (!listing) {
    if (copy >= 0)
      ::close(copy);
    return 0;
  }
  int64_t highest = 0;
  while (const dirent* entry = ::readdir(listing)) {
    std::string_view name = entry->d_name;
    if (name.size() != 10 || !name.ends_with(".wav") ||
        !std::all_of(name.begin(), name.begin() + 6, [](char c) { return c >= '0' && c <= '9'; }))
      continue;
    highest = std::max<int64_t>(highest, std::stoll(std::string(name.substr(0, 6))));
  }
  ::closedir(listing);
  return highest;
}

std::string seconds(int64_t frames) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f",
                static_cast<double>(frames) / static_cast<double>(SegmentWriter::kRateHz));
  return text;
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
SegmentWriter::make(std::shared_ptr<const CaptureDirectory> capture, std::string track,
                    int64_t segmentFrames, Events events, FileIO& io) {
  if (!capture)
    return std::unexpected(std::make_error_code(std::errc::bad_file_descriptor));
  auto dir = openTrackDirectory(capture->dir.get(), track);
  if (!dir)
    return std::unexpected(dir.error());
  // Old segments stay as they are: numbering goes on after them, so none is lost to a name taken.
  int64_t last = highestSegment(dir->get());
  return std::unique_ptr<SegmentWriter>(
      new SegmentWriter(std::move(capture), std::move(*dir), std::move(track),
                        std::max<int64_t>(segmentFrames, 1), std::move(events), io, last));
}

SegmentWriter::SegmentWriter(std::shared_ptr<const CaptureDirectory> capture, UniqueFd trackDir,
                             std::string track, int64_t segmentFrames, Events events, FileIO& io,
                             int64_t lastIndex)
    : capture_(std::move(capture)), trackDir_(std::move(trackDir)), track_(std::move(track)),
      segmentFrames_(segmentFrames), events_(std::move(events)), io_(io), index_(lastIndex) {}

SegmentWriter::~SegmentWriter() {
  if (fd_ >= 0)
    io_.close(fd_);
}

std::string SegmentWriter::pathOf(int64_t index) const {
  return "tracks/" + track_ + "/" + segmentName(index);
}

void SegmentWriter::failed(int64_t index, int error) {
  if (failing_)
    return;
  failing_ = true;
  lostFrames_ = 0;
  log(track_ + ": cannot write " + pathOf(index) + " (errno " + std::to_string(error) + ", " +
      std::strerror(error) + ")");
  if (events_.writeFailed)
    events_.writeFailed(pathOf(index), error);
}

void SegmentWriter::lose(int64_t frames) {
  lostFrames_ += frames;
}

bool SegmentWriter::open() {
  for (int attempt = 0; attempt < 3; ++attempt) {
    const int64_t index = index_ + 1; // used up only by a segment that is made
    const std::string name = segmentName(index);
    const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW;
    int fd = io_.openat(trackDir_.get(), name, flags, 0600);
    if (fd < 0 && errno == ENOENT) {
      // The track's directory (or the capture's) was removed: say so, and make it again from
      // the capture directory's parent, following no link.
      failed(index, ENOENT);
      UniqueFd capture = makeDirectoryAt(capture_->parent.get(), capture_->name, 0700);
      auto track = capture ? openTrackDirectory(capture.get(), track_)
                           : std::expected<UniqueFd, std::error_code>(
                                 std::unexpected(std::error_code(errno, std::generic_category())));
      if (!track) {
        errno = track.error().value();
        return false;
      }
      trackDir_ = std::move(*track);
      fd = io_.openat(trackDir_.get(), name, flags, 0600);
    }
    if (fd < 0 && errno == EEXIST) {
      // Someone else made that name meanwhile: go on after whatever is there now.
      index_ = std::max(index, highestSegment(trackDir_.get()));
      continue;
    }
    if (fd < 0) {
      failed(index, errno);
      return false;
    }
    auto h = header(0);
    if (writeFully(io_, fd, h.data(), h.size()) != h.size()) {
      // A file without its whole header holds no audio and is not playable: remove it, and
      // keep its number for the next attempt, so a disk that stays full leaves no broken files.
      int err = errno;
      io_.close(fd);
      io_.unlinkat(trackDir_.get(), name);
      failed(index, err);
      return false;
    }
    index_ = index;
    fd_ = fd;
    frames_ = 0;
    framesAtHeader_ = 0;
    return true;
  }
  failed(index_ + 1, EEXIST);
  return false;
}

bool SegmentWriter::refreshHeader() {
  auto h = header(frames_ * 2);
  io_.pwrite(fd_, h.data(), h.size(), 0);
  framesAtHeader_ = frames_;
  // A file whose last name is gone (its directory removed) takes audio that nobody will find:
  // that audio is lost, and the next segment is made where the track belongs.
  struct stat info {};
  if (::fstat(fd_, &info) != 0 || info.st_nlink > 0)
    return true;
  failed(index_, ENOENT);
  lose(frames_);
  totalFrames_ -= frames_;
  io_.close(fd_);
  fd_ = -1;
  return false;
}

void SegmentWriter::append(const int16_t* samples, size_t count, uint64_t firstNs) {
  static_assert(std::endian::native == std::endian::little, "samples are written as they lie");
  size_t at = 0;
  while (at < count) {
    if (fd_ < 0) {
      if (!open()) {
        lose(static_cast<int64_t>(count - at)); // the rest of the run; the next one tries again
        return;
      }
      startNs_ = firstNs + at * kNsPerFrame;
    }
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
      failed(index_, err);
      lose(static_cast<int64_t>(count - at) - landed);
      closeSegment();
      return;
    }
    if (failing_) {
      failing_ = false;
      log(track_ + ": writing again; " + seconds(lostFrames_) + " s of audio lost");
      if (events_.writeResumed)
        events_.writeResumed(lostFrames_);
      lostFrames_ = 0;
    }
    frames_ += static_cast<int64_t>(k);
    totalFrames_ += static_cast<int64_t>(k);
    at += k;
    if (frames_ - framesAtHeader_ >= kHeaderRefreshFrames && !refreshHeader())
      continue;
    if (frames_ >= segmentFrames_)
      closeSegment();
  }
}

void SegmentWriter::closeSegment() {
  if (fd_ < 0)
    return;
  auto h = header(frames_ * 2);
  if (io_.pwrite(fd_, h.data(), h.size(), 0) != static_cast<ssize_t>(h.size()))
    failed(index_, errno);
  framesAtHeader_ = frames_;
  if (io_.fsync(fd_) != 0)
    failed(index_, errno);
  io_.close(fd_);
  fd_ = -1;
  ++closedSegments_;
  if (events_.closed)
    events_.closed(SegmentInfo{index_, pathOf(index_), frames_, startNs_});
}

} // namespace va
