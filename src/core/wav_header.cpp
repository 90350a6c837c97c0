#include "core/wav_header.h"

#include <algorithm>

namespace va {

namespace {

void put32(uint8_t* at, uint32_t v) {
  for (int i = 0; i < 4; ++i)
    at[i] = static_cast<uint8_t>(v >> (8 * i));
}

void put16(uint8_t* at, uint16_t v) {
  at[0] = static_cast<uint8_t>(v);
  at[1] = static_cast<uint8_t>(v >> 8);
}

uint32_t clamp32(int64_t v) {
  return static_cast<uint32_t>(std::clamp<int64_t>(v, 0, 4294967295));
}

} // namespace

std::array<uint8_t, kWavHeaderBytes> wavHeader(int64_t dataBytes) {
  std::array<uint8_t, kWavHeaderBytes> h{};
  auto tag = [&](size_t at, const char* four) { std::copy(four, four + 4, h.begin() + at); };
  tag(0, "RIFF");
  put32(&h[4], clamp32(dataBytes > INT64_MAX - 36 ? INT64_MAX : dataBytes + 36));
  tag(8, "WAVE");
  tag(12, "fmt ");
  put32(&h[16], 16);
  put16(&h[20], 1); // PCM
  put16(&h[22], 1); // mono
  put32(&h[24], kWavRateHz);
  put32(&h[28], kWavRateHz * 2);
  put16(&h[32], 2);  // block align
  put16(&h[34], 16); // bits per sample
  tag(36, "data");
  put32(&h[40], clamp32(dataBytes));
  return h;
}

} // namespace va
