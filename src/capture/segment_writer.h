#pragma once

#include "capture/capture_directory.h"
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
  uint64_t startNs = 0; // host clock at the first frame
};

// One track's numbered WAV segments (16 kHz mono 16-bit). Each file stays playable while it
// grows: its header is rewritten whenever a second of audio has been added since the last time,
// so a process that dies leaves a valid file that lacks at most about a second.
//
// Storage that fails is reported, never silent: the first failure of a run (a segment that cannot
// be created or written, a directory removed under it) is one writeFailed, and the first audio
// that lands again ends the run with one writeResumed and the frames lost meanwhile. Failed
// attempts use up no segment number. A segment whose final header, fsync or close fails is not
// closed: its frames count as lost, not written. A removed capture or track directory is made again
// (mode 0700) only along the capture's path below the root, following no link, and only where the
// capture may record (see DirectoryClaims); where that path no longer leads, nothing is written.
// Not thread-safe: the owning sink calls it from its own queue only; the events run there too.
class SegmentWriter {
public:
  static constexpr int64_t kRateHz = 16000;
  static constexpr int64_t kHeaderRefreshFrames = 16000;
  static constexpr size_t kHeaderBytes = 44;
  static constexpr uint64_t kNsPerFrame = 62500; // 1e9 / kRateHz

  struct Events {
    std::function<void(const SegmentInfo&)> closed;
    // The segment (relative path, as in SegmentInfo) and the errno.
    std::function<void(const std::string& path, int error)> writeFailed;
    std::function<void(int64_t lostFrames)> writeResumed;
    DirectoryClaims claims = {}; // asked before a re-made capture directory is written into
  };

  // Opens (making what is missing, each mode 0700) `tracks/<track>` below the capture directory,
  // following no link, and keeps its own descriptor of it: a link swapped in later changes
  // nothing. Numbering continues after the highest segment already there.
  static std::expected<std::unique_ptr<SegmentWriter>, std::error_code>
  make(std::shared_ptr<const CaptureDirectory> capture, std::string track, int64_t segmentFrames,
       Events events, FileIO& io = FileIO::posix());
  // Closes an open file as it is, without a final header and without reporting it.
  ~SegmentWriter();
  SegmentWriter(const SegmentWriter&) = delete;
  SegmentWriter& operator=(const SegmentWriter&) = delete;

  // Appends a run of samples, the first at host time `firstNs`, opening, refreshing and closing
  // segments as needed.
  void append(const int16_t* samples, size_t count, uint64_t firstNs);
  // Finalises the open segment, if any: header, fsync, close, closed event.
  void closeSegment();

  int64_t closedSegments() const { return closedSegments_; }
  int64_t totalFrames() const { return totalFrames_; }
  // Frames that reached no closed segment because storage failed, over the whole track.
  int64_t lostFrames() const { return totalLost_; }
  bool isOpen() const { return fd_ >= 0; }

  // The 44-byte header for `dataBytes` bytes of samples; sizes clamp to 0 ... 4294967295.
  static std::array<uint8_t, kHeaderBytes> header(int64_t dataBytes);

private:
  SegmentWriter(std::shared_ptr<const CaptureDirectory> capture, UniqueFd trackDir,
                std::string track, int64_t segmentFrames, Events events, FileIO& io,
                int64_t lastIndex);
  enum class Failure { create, write, flush };
  bool open();
  bool remake();
  bool refreshHeader();
  void failed(int64_t index, int error, Failure what);
  void lose(int64_t frames);
  std::string pathOf(int64_t index) const;

  const std::shared_ptr<const CaptureDirectory> capture_;
  UniqueFd trackDir_; // made again if the directory is removed
  UniqueFd remade_;   // the capture directory last made again; until then capture_->dir
  DirectoryKey dirKey_{};
  const std::string track_;
  const int64_t segmentFrames_;
  const Events events_;
  FileIO& io_;
  int fd_ = -1;
  int64_t index_ = 0; // the most recent segment created
  int64_t frames_ = 0;
  int64_t framesAtHeader_ = 0;
  uint64_t startNs_ = 0; // of the open segment's first frame
  int64_t closedSegments_ = 0;
  int64_t totalFrames_ = 0;
  bool failing_ = false;   // in a run of failures
  int64_t lostFrames_ = 0; // in the current run
  int64_t totalLost_ = 0;
};

// Opens `tracks/<track>` below the capture directory `captureDir`, creating what is missing
// (mode 0700); a link or another kind of file on the way fails (ENOTDIR).
std::expected<UniqueFd, std::error_code> openTrackDirectory(int captureDir,
                                                            const std::string& track);

} // namespace va
