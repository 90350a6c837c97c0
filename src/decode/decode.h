#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <span>
#include <string>

namespace va::Decode {

enum class Failure {
  unsupported, // no allowed container recognises the input, or its audio has no decoder
  unreadable,  // everything else: not a plain non-empty file, broken audio, output not written
};

inline constexpr int64_t kMaxFrames = 2147483629; // data bytes + 36 must fit 32 bits

// Converts the audio file `input` into a 16 kHz mono 16-bit WAV file at `output` and returns
// the frames written. Both paths are absolute and already confined. The input is read only
// through the descriptor opened first; the output appears only complete, by renaming
// `output` + ".partial" over it. Runs on the calling thread; memory stays bounded whatever the
// input's length.
std::expected<int64_t, Failure> run(const std::string& input, const std::string& output);

// The 44-byte header for `dataBytes` bytes of samples (0 <= dataBytes <= 4294967259).
std::array<uint8_t, 44> header(int64_t dataBytes);

// Writes all of `data` to `fd`; false when the file takes no more.
bool write(int fd, std::span<const uint8_t> data);

} // namespace va::Decode
