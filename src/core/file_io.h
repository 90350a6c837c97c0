#pragma once

#include <cstddef>
#include <string>
#include <sys/types.h>

namespace va {

// The file operations the recording and decode paths use, behind one seam so that tests can make
// a disk fill up or fail on demand. Calls mirror their POSIX namesakes: a negative result means
// failure with the reason in errno. Safe from any thread.
class FileIO {
public:
  virtual ~FileIO() = default;
  virtual int open(const std::string& path, int flags, mode_t mode) = 0;
  virtual ssize_t write(int fd, const void* bytes, size_t n) = 0;
  virtual ssize_t pwrite(int fd, const void* bytes, size_t n, off_t offset) = 0;
  virtual int ftruncate(int fd, off_t length) = 0;
  virtual int fsync(int fd) = 0;
  virtual int close(int fd) = 0;
  virtual int rename(const std::string& from, const std::string& to) = 0;
  virtual int unlink(const std::string& path) = 0;

  // The process's real file system.
  static FileIO& posix();
};

// Writes all `n` bytes at the current position, retrying on EINTR and short writes. A write that
// fails or accepts 0 bytes ends it. Returns the bytes written; fewer than `n` means failure, with
// errno set (EIO when the system accepted 0 bytes without an error).
size_t writeFully(FileIO& io, int fd, const void* bytes, size_t n);

} // namespace va
