#pragma once

#include "core/file_io.h"

#include <array>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <string>
#include <system_error>

namespace va {

struct SegmentInfo {
  int64_t index = 0;
  std::string path; // relative to the capture directory: "tracks/<track>/%06d.wav"
  int64_t frames = 0;
};

// One track's numbered WAV segments (16 kHz mono 16-bit). Each file stays playable while it
// grows: its header is rewritten whenever a second of audio has been added since the last time,
// so a process that dies leaves a valid file that lacks at most about a second.
// Not thread-safe: the owning sink calls it from its own queue only; onClosed runs there too.
class SegmentWriter {
public:
  static constexpr int64_t kRateHz = 16000;
  static constexpr int64_t kHeaderRefreshFrames = 16000;
  static constexpr size_t kHeaderBytes = 44;

  using OnClosed = std::function<void(const SegmentInfo&)>;

  // Creates `tracks/<track>` below the capture directory `captureDir` (each mode 0700) or
  // accepts existing directories, and keeps its own descriptor of the track directory: no link
  // is followed on the way, and one swapped in later changes nothing.
  static std::expected<std::unique_ptr<SegmentWriter>, std::error_code>
  make(int captureDir, std::string track, int64_t segmentFrames, OnClosed onClosed,
       FileIO& io = FileIO::posix());
  // Closes an open file as it is, without a final header and without reporting it.
  ~SegmentWriter();
  SegmentWriter(const SegmentWriter&) = delete;
  SegmentWriter& operator=(const SegmentWriter&) = delete;

  // Appends a run of samples, opening, refreshing and closing segments as needed.
  void append(const int16_t* samples, size_t count);
  // Finalises the open segment, if any: header, fsync, close, onClosed.
  void closeSegment();

  int64_t closedSegments() const { return closedSegments_; }
  int64_t totalFrames() const { return totalFrames_; }
  bool isOpen() const { return fd_ >= 0; }

  // The 44-byte header for `dataBytes` bytes of samples; sizes clamp to 0 ... 4294967295.
  static std::array<uint8_t, kHeaderBytes> header(int64_t dataBytes);

private:
  SegmentWriter(UniqueFd trackDir, std::string track, int64_t segmentFrames, OnClosed onClosed,
                FileIO& io);
  bool open();
  void writeHeader();

  const UniqueFd trackDir_;
  const std::string track_;
  const int64_t segmentFrames_;
  const OnClosed onClosed_;
  FileIO& io_;
  int fd_ = -1;
  int64_t index_ = 0; // the most recent segment created (or failing to be created)
  int64_t frames_ = 0;
  int64_t framesAtHeader_ = 0;
  int64_t closedSegments_ = 0;
  int64_t totalFrames_ = 0;
  int failedOpenErrno_ = 0;          // of the last failed creation since a segment was created
  int64_t repeatedOpenFailures_ = 0; // further failures with that errno, not logged one by one
};

// Opens `tracks/<track>` below the capture directory `captureDir`, creating what is missing
// (mode 0700); a link or another kind of file on the way fails (ENOTDIR).
std::expected<UniqueFd, std::error_code> openTrackDirectory(int captureDir,
                                                            const std::string& track);

} // namespace va
