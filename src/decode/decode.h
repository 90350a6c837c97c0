#pragma once

#include "core/wav_header.h"
#include "decode/decode_file.h"

#include <array>
#include <expected>

namespace va::Decode {

// Converts the audio file `input` into a 16 kHz mono 16-bit WAV file at `output` and returns
// the frames written. Both are reached through their (already confined) directories'
// descriptors, following no link. The input is read only through the descriptor opened first;
// the output appears only complete, by renaming `output` + ".partial" over it. Runs on the
// calling thread; memory stays bounded whatever the input. The output's file operations go
// through `io`. An output whose declared length passes `limits`, or that grows past them, is
// refused (tooLarge, noSpace) and its temporary file removed.
inline std::expected<int64_t, Failure> run(const Place& input, const Place& output,
                                           FileIO& io = FileIO::posix(),
                                           const Limits& limits = {}) {
  Outcome outcome = decodeFile(input, output, io, limits);
  if (outcome.failure)
    return std::unexpected(*outcome.failure);
  return outcome.frames;
}

// The 44-byte header for `dataBytes` bytes of samples (0 <= dataBytes <= 4294967259).
inline std::array<uint8_t, kWavHeaderBytes> header(int64_t dataBytes) {
  return wavHeader(dataBytes);
}

} // namespace va::Decode
