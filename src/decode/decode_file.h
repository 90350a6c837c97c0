#pragma once

// The decoder's core, in plain C++20 so that the clang fuzz build can use it; decode.h wraps it.

#include "core/file_io.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>

namespace va::Decode {

enum class Failure {
  unsupported, // no allowed container recognises the input, or its audio has no decoder
  unreadable,  // everything else: not a plain non-empty file, broken audio, output not written
  busy,        // a descriptor or memory could not be had (EMFILE, ENFILE, ENOMEM)
  tooLarge,    // the output would pass Limits::maxFrames
  noSpace,     // the output would leave less free space than Limits::keepFree asks for
};

inline constexpr int64_t kMaxFrames = 2147483629; // data bytes + 36 must fit 32 bits

// Decodes run at once in the service, and the descriptors each may hold at its peak: the input,
// the temporary output, its directory kept for the exit and the two confined parents (5
// measured), a few more while its paths resolve, with room to spare.
inline constexpr size_t kMaxConcurrent = 4;
inline constexpr uint64_t kDescriptorsPerRun = 16;

// What a run may take of the disk.
struct Limits {
  int64_t maxFrames = kMaxFrames;
  // Bytes to leave free on the output's file system (others' recordings), asked before writing
  // and again every few MiB; none when empty.
  std::function<uint64_t()> keepFree;
};

struct Outcome {
  int64_t frames = 0;
  std::optional<Failure> failure;
};

// A file named relative to an open directory. `path` is its canonical absolute path: it only
// tells two runs to the same output apart and is never used to reach the file.
struct Place {
  int dir = -1;
  std::string name;
  std::string path;
};

// See run() in decode.h. The output is written through `io`.
Outcome decodeFile(const Place& input, const Place& output, FileIO& io = FileIO::posix(),
                   const Limits& limits = {});

// Removes the temporary file of every decode still running (for the orderly exit: the process
// ends before they could finish). Safe from any thread.
void removeUnfinished();

// Writes all of `data` to `fd`; false when the file takes no more.
bool write(FileIO& io, int fd, std::span<const uint8_t> data);

} // namespace va::Decode
