#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace va {

inline constexpr size_t kWavHeaderBytes = 44;
inline constexpr uint32_t kWavRateHz = 16000;

// The 44-byte header of a 16 kHz mono 16-bit PCM WAV file holding `dataBytes` bytes of samples;
// both sizes clamp to 0 ... 4294967295.
std::array<uint8_t, kWavHeaderBytes> wavHeader(int64_t dataBytes);

} // namespace va
