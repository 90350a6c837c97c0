#include "core/file_io.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace va {

namespace {

class PosixFileIO final : public FileIO {
public:
  int open(const std::string& path, int flags, mode_t mode) override {
    return ::open(path.c_str(), flags | O_CLOEXEC, mode);
  }
  ssize_t write(int fd, const void* bytes, size_t n) override { return ::write(fd, bytes, n); }
  ssize_t pwrite(int fd, const void* bytes, size_t n, off_t offset) override {
    return ::pwrite(fd, bytes, n, offset);
  }
  int ftruncate(int fd, off_t length) override { return ::ftruncate(fd, length); }
  int fsync(int fd) override { return ::fsync(fd); }
  int close(int fd) override { return ::close(fd); }
  int rename(const std::string& from, const std::string& to) override {
    return ::rename(from.c_str(), to.c_str());
  }
  int unlink(const std::string& path) override { return ::unlink(path.c_str()); }
};

} // namespace

FileIO& FileIO::posix() {
  static PosixFileIO io;
  return io;
}

size_t writeFully(FileIO& io, int fd, const void* bytes, size_t n) {
  const char* p = static_cast<const char*>(bytes);
  size_t done = 0;
  while (done < n) {
    ssize_t r = io.write(fd, p + done, n - done);
    if (r < 0 && errno == EINTR)
      continue;
    if (r < 0)
      return done;
    if (r == 0) {
      errno = EIO;
      return done;
    }
    done += static_cast<size_t>(r);
  }
  return done;
}

} // namespace va
