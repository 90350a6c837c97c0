#include "core/file_io.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace va {

namespace {

class PosixFileIO final : public FileIO {
public:
  int openat(int dir, const std::string& name, int flags, mode_t mode) override {
    return ::openat(dir, name.c_str(), flags | O_CLOEXEC, mode);
  }
  ssize_t write(int fd, const void* bytes, size_t n) override { return ::write(fd, bytes, n); }
  ssize_t pwrite(int fd, const void* bytes, size_t n, off_t offset) override {
    return ::pwrite(fd, bytes, n, offset);
  }
  int ftruncate(int fd, off_t length) override { return ::ftruncate(fd, length); }
  int fsync(int fd) override { return ::fsync(fd); }
  int close(int fd) override { return ::close(fd); }
  int renameat(int fromDir, const std::string& from, int toDir, const std::string& to) override {
    return ::renameat(fromDir, from.c_str(), toDir, to.c_str());
  }
  int unlinkat(int dir, const std::string& name) override {
    return ::unlinkat(dir, name.c_str(), 0);
  }
};

// The same without openat2 (kernels before 5.6, or a filter that refuses it): one component at a
// time, none of them followed if it is a link.
int walkBeneath(int dir, const std::string& relative, int flags, mode_t mode) {
  UniqueFd current;
  int at = dir;
  size_t start = 0;
  for (;;) {
    size_t slash = relative.find('/', start);
    std::string part = relative.substr(start, slash == std::string::npos ? slash : slash - start);
    if (part.empty() || part == "." || part == "..") {
      errno = EXDEV;
      return -1;
    }
    if (slash == std::string::npos)
      return ::openat(at, part.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, mode);
    current = UniqueFd(::openat(at, part.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!current)
      return -1;
    at = current.get();
    start = slash + 1;
  }
}

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

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0)
      ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

UniqueFd::~UniqueFd() {
  if (fd_ >= 0)
    ::close(fd_);
}

int openBeneath(int dir, const std::string& relative, int flags, mode_t mode) {
  if (relative.empty())
    return ::openat(dir, ".", flags | O_CLOEXEC, mode);
  open_how how{};
  how.flags = static_cast<uint64_t>(flags | O_CLOEXEC);
  how.mode = (flags & (O_CREAT | O_TMPFILE)) ? mode : 0;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
  long fd = ::syscall(SYS_openat2, dir, relative.c_str(), &how, sizeof how);
  if (fd >= 0 || (errno != ENOSYS && errno != EPERM))
    return static_cast<int>(fd);
  return walkBeneath(dir, relative, flags, mode);
}

UniqueFd makeDirectoryAt(int dir, const std::string& name, mode_t mode, bool* made) {
  const bool created = ::mkdirat(dir, name.c_str(), mode) == 0;
  if (made)
    *made = created;
  if (!created && errno != EEXIST)
    return UniqueFd();
  return UniqueFd(::openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

} // namespace va
