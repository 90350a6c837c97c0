#include "capture/segment_writer.h"

#include "core/log.h"
#include "core/wav_header.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <ranges>
#include <string_view>
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
      segmentFrames_(segmentFrames), events_(std::move(events)), io_(io), index_(lastIndex) {
  dirKey_ = directoryKey(capture_->dir.get()).value_or(DirectoryKey{});
}

SegmentWriter::~SegmentWriter() {
  if (fd_ >= 0)
    io_.close(fd_);
}

std::string SegmentWriter::pathOf(int64_t index) const {
  return "tracks/" + track_ + "/" + segmentName(index);
}

void SegmentWriter::failed(int64_t index, int error, Failure what) {
  if (failing_)
    return;
  failing_ = true;
  lostFrames_ = 0;
  const std::string code = "(errno " + std::to_string(error) + ")";
  switch (what) {
  case Failure::create:
    log(track_ + ": cannot create segment " + std::to_string(index) + " " + code);
    break;
  case Failure::write:
    log(track_ + ": write failed " + code + "; segment closed");
    break;
  case Failure::flush:
    log(track_ + ": cannot flush segment " + std::to_string(index) + " " + code);
    break;
  }
  if (events_.writeFailed)
    events_.writeFailed(pathOf(index), error);
}

void SegmentWriter::lose(int64_t frames) {
  lostFrames_ += frames;
  totalLost_ += frames;
}

bool SegmentWriter::remake() {
  // Only from the root, none of the components a link: a directory moved away (even out of the
  // root) is not followed, and nothing is made but the last component.
  const CaptureDirectory& capture = *capture_;
  const std::string& below = capture.below;
  const bool wellFormed =
      !below.empty() && std::ranges::none_of(std::views::split(below, '/'), [](auto part) {
        std::string_view p(part.begin(), part.end());
        return p.empty() || p == "." || p == "..";
      });
  if (!wellFormed || !capture.root || !*capture.root) {
    errno = ENOENT;
    return false;
  }
  const size_t slash = below.rfind('/');
  const std::string name = slash == std::string::npos ? below : below.substr(slash + 1);
  UniqueFd parent(openBeneath(capture.root->get(),
                              slash == std::string::npos ? "" : below.substr(0, slash),
                              O_RDONLY | O_DIRECTORY));
  if (!parent)
    return false;
  bool made = false;
  UniqueFd dir = makeDirectoryAt(parent.get(), name, 0700, &made);
  std::optional<DirectoryKey> key = dir ? directoryKey(dir.get()) : std::nullopt;
  if (!key)
    return false;
  if (*key != dirKey_) {
    // Another capture's directory, or one that someone else put there, is never written into.
    const bool mine = events_.claims.claim ? events_.claims.claim(*key, made) : made;
    if (!mine) {
      errno = EBUSY;
      return false;
    }
    const int before = remade_ ? remade_.get() : capture.dir.get();
    struct stat old {};
    if (events_.claims.release && ::fstat(before, &old) == 0 && old.st_nlink == 0)
      events_.claims.release(dirKey_); // removed: its inode may go to someone else's directory
    dirKey_ = *key;
  }
  auto track = openTrackDirectory(dir.get(), track_);
  if (!track) {
    errno = track.error().value();
    return false;
  }
  remade_ = std::move(dir);
  trackDir_ = std::move(*track);
  return true;
}

bool SegmentWriter::open() {
  for (int attempt = 0; attempt < 3; ++attempt) {
    const int64_t index = index_ + 1; // used up only by a segment that is made
    const std::string name = segmentName(index);
    const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW;
    int fd = io_.openat(trackDir_.get(), name, flags, 0600);
    if (fd < 0 && errno == ENOENT) {
      // The track's directory (or the capture's) was removed: say so, and make it again.
      failed(index, ENOENT, Failure::create);
      if (!remake())
        return false;
      fd = io_.openat(trackDir_.get(), name, flags, 0600);
    }
    if (fd < 0 && errno == EEXIST) {
      // Someone else made that name meanwhile: go on after whatever is there now.
      index_ = std::max(index, highestSegment(trackDir_.get()));
      continue;
    }
    if (fd < 0) {
      failed(index, errno, Failure::create);
      return false;
    }
    auto h = header(0);
    if (writeFully(io_, fd, h.data(), h.size()) != h.size()) {
      // A file without its whole header holds no audio and is not playable: remove it, and
      // keep its number for the next attempt, so a disk that stays full leaves no broken files.
      int err = errno;
      io_.close(fd);
      io_.unlinkat(trackDir_.get(), name);
      failed(index, err, Failure::create);
      return false;
    }
    index_ = index;
    fd_ = fd;
    frames_ = 0;
    framesAtHeader_ = 0;
    return true;
  }
  failed(index_ + 1, EEXIST, Failure::create);
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
  failed(index_, ENOENT, Failure::write);
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
      failed(index_, err, Failure::write);
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
  // A segment is closed only once it is on stable storage: one whose header, fsync or close
  // failed may be gone after a remount, so its frames count as lost.
  int error = 0;
  auto h = header(frames_ * 2);
  if (io_.pwrite(fd_, h.data(), h.size(), 0) != static_cast<ssize_t>(h.size()))
    error = errno;
  framesAtHeader_ = frames_;
  if (io_.fsync(fd_) != 0 && error == 0)
    error = errno;
  struct stat info {};
  if (error == 0 && ::fstat(fd_, &info) == 0 && info.st_nlink == 0)
    error = ENOENT; // its directory was removed: nobody will find it
  if (io_.close(fd_) != 0 && error == 0)
    error = errno;
  fd_ = -1;
  if (error != 0) {
    failed(index_, error, Failure::flush);
    lose(frames_);
    totalFrames_ -= frames_;
    return;
  }
  ++closedSegments_;
  if (events_.closed)
    events_.closed(SegmentInfo{index_, pathOf(index_), frames_, startNs_});
}

} // namespace va
