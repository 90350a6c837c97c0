#include "support/audio_files.h"

#include "support/child_process.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace va::testing_support {

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/va-test-XXXXXX";
  if (!mkdtemp(pattern.data()))
    throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::optional<std::string> readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in)
    return std::nullopt;
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

std::vector<std::string> listDir(const std::string& path) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(path, ec))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

std::optional<WavFile> readWav(const std::string& path) {
  auto bytes = readFile(path);
  if (!bytes || bytes->size() < 44)
    return std::nullopt;
  WavFile wav;
  wav.bytes = std::move(*bytes);
  // Both the file and this machine are little-endian.
  std::memcpy(&wav.riffSize, wav.bytes.data() + 4, 4);
  std::memcpy(&wav.dataSize, wav.bytes.data() + 40, 4);
  wav.samples.resize((wav.bytes.size() - 44) / 2);
  std::memcpy(wav.samples.data(), wav.bytes.data() + 44, wav.samples.size() * 2);
  return wav;
}

TrackFiles readTrack(const std::string& dir) {
  TrackFiles t;
  for (const std::string& name : listDir(dir)) {
    auto wav = readWav(dir + "/" + name);
    if (!wav) {
      t.headersMatchData = false;
      continue;
    }
    ++t.segments;
    t.frames += static_cast<int64_t>(wav->samples.size());
    t.perSegment.push_back(static_cast<int64_t>(wav->samples.size()));
    t.headersMatchData = t.headersMatchData && wav->dataSize == wav->samples.size() * 2 &&
                         wav->riffSize == wav->dataSize + 36 &&
                         wav->bytes.size() == 44 + wav->samples.size() * 2; // no torn frame
    t.samples.insert(t.samples.end(), wav->samples.begin(), wav->samples.end());
  }
  return t;
}

bool makeTone(const std::string& path, int rate, int channels, double hz, double seconds,
              double vol) {
  return runToCompletion({"/usr/bin/sox", "-n", "-r", std::to_string(rate), "-c",
                          std::to_string(channels), "-b", "16", path, "synth",
                          std::to_string(seconds), "sine", std::to_string(hz), "vol",
                          std::to_string(vol)})
             .status == 0;
}

double toneAmplitude(std::span<const float> samples, double rateHz, double hz) {
  if (samples.empty())
    return 0;
  double w = 2 * M_PI * hz / rateHz, coeff = 2 * std::cos(w);
  double s1 = 0, s2 = 0;
  for (float x : samples) {
    double s0 = x + coeff * s1 - s2;
    s2 = s1;
    s1 = s0;
  }
  double power = s1 * s1 + s2 * s2 - coeff * s1 * s2;
  return 2 * std::sqrt(std::max(power, 0.0)) / static_cast<double>(samples.size());
}

std::vector<float> toFloat(std::span<const int16_t> samples) {
  std::vector<float> out(samples.size());
  for (size_t i = 0; i < samples.size(); ++i)
    out[i] = static_cast<float>(samples[i]) / 32768.0f;
  return out;
}

double largestStep(std::span<const float> samples) {
  double worst = 0;
  for (size_t i = 1; i < samples.size(); ++i)
    worst = std::max(worst, std::abs(static_cast<double>(samples[i]) - samples[i - 1]));
  return worst;
}

} // namespace va::testing_support
