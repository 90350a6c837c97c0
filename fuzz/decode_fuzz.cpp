// Fuzz target for the decoder: any bytes, written to a file, are refused or give a valid WAV
// file; a refusal leaves no output and no temporary file behind.

#include "core/wav_header.h"
#include "decode/decode_file.h"
#include "fuzz_check.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A fresh directory for this process, removed at exit and kept after a crash.
struct WorkDir {
  std::string path;
  WorkDir() : path("/tmp/va-decode-fuzz-XXXXXX") { check(mkdtemp(path.data()) != nullptr); }
  ~WorkDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
};

const std::string& workDir() {
  static const WorkDir dir;
  return dir.path;
}

off_t sizeOf(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 ? info.st_size : -1;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input = workDir() + "/input";
  const std::string output = workDir() + "/output.wav";
  int fd = ::open(input.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  check(fd >= 0);
  check(size == 0 || ::write(fd, data, size) == static_cast<ssize_t>(size));
  ::close(fd);
  ::unlink(output.c_str());

  static const int dir = ::open(workDir().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  va::Decode::Outcome outcome =
      va::Decode::decodeFile({dir, "input", input}, {dir, "output.wav", output});
  check(sizeOf(output + ".partial") < 0);
  if (outcome.failure) {
    check(sizeOf(output) < 0);
    return 0;
  }
  check(outcome.frames >= 1 && outcome.frames <= va::Decode::kMaxFrames);
  check(sizeOf(output) == static_cast<off_t>(va::kWavHeaderBytes) + outcome.frames * 2);
  return 0;
}
