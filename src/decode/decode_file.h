#pragma once

// The decoder's core, in plain C++20 so that the clang fuzz build can use it; decode.h wraps it.

#include "core/file_io.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace va::Decode {

enum class Failure {
  unsupported, // no allowed container recognises the input, or its audio has no decoder
  unreadable,  // everything else: not a plain non-empty file, broken audio, output not written
};

inline constexpr int64_t kMaxFrames = 2147483629; // data bytes + 36 must fit 32 bits

struct Outcome {
  int64_t frames = 0;
  std::optional<Failure> failure;
};

// See run() in decode.h. The output is written through `io`.
Outcome decodeFile(const std::string& input, const std::string& output,
                   FileIO& io = FileIO::posix());

// Writes all of `data` to `fd`; false when the file takes no more.
bool write(FileIO& io, int fd, std::span<const uint8_t> data);

} // namespace va::Decode
