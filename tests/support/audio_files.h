#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace va::testing_support {

// A fresh directory under $TMPDIR (or /tmp), removed with everything in it on destruction.
class TempDir {
public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }

private:
  std::string path_;
};

std::optional<std::string> readFile(const std::string& path);
// Sorted names of the entries of a directory (nothing for a missing one).
std::vector<std::string> listDir(const std::string& path);

// A WAV file as it lies on disk.
struct WavFile {
  std::string bytes;            // the whole file
  uint32_t riffSize = 0;        // bytes 4..7
  uint32_t dataSize = 0;        // bytes 40..43
  std::vector<int16_t> samples; // everything after the 44-byte header
};
std::optional<WavFile> readWav(const std::string& path);

// What a track directory holds: its segments in order.
struct TrackFiles {
  int64_t segments = 0;            // readable ones
  int64_t frames = 0;              // in all of them
  bool headersMatchData = true;    // every header names exactly the whole frames after it
  std::vector<int64_t> perSegment; // frames
  std::vector<int16_t> samples;    // all segments, one after the other
};
TrackFiles readTrack(const std::string& dir);
// A 16-bit WAV file of a sine made by sox (`vol` its amplitude); false when sox failed.
bool makeTone(const std::string& path, int rate, int channels, double hz, double seconds,
              double vol = 1);

// The amplitude of the `hz` component of `samples` (Goertzel), for a sine of amplitude A about A.
double toneAmplitude(std::span<const float> samples, double rateHz, double hz);
std::vector<float> toFloat(std::span<const int16_t> samples); // divided by 32768
// The largest difference between neighbouring samples: a click shows as a jump.
double largestStep(std::span<const float> samples);

} // namespace va::testing_support
