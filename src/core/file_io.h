#pragma once

#include <cstddef>
#include <string>
#include <sys/types.h>
#include <utility>

namespace va {

// The file operations the recording and decode paths use, behind one seam so that tests can make
// a disk fill up or fail on demand. Files are named only relative to a directory descriptor,
// never by a path from the root of the file system. Calls mirror their POSIX namesakes: a
// negative result means failure with the reason in errno. Safe from any thread.
class FileIO {
public:
  virtual ~FileIO() = default;
  virtual int openat(int dir, const std::string& name, int flags, mode_t mode) = 0;
  virtual ssize_t write(int fd, const void* bytes, size_t n) = 0;
  virtual ssize_t pwrite(int fd, const void* bytes, size_t n, off_t offset) = 0;
  virtual int ftruncate(int fd, off_t length) = 0;
  virtual int fsync(int fd) = 0;
  virtual int close(int fd) = 0;
  virtual int renameat(int fromDir, const std::string& from, int toDir, const std::string& to) = 0;
  virtual int unlinkat(int dir, const std::string& name) = 0;

  // The process's real file system.
  static FileIO& posix();
};

// Writes all `n` bytes at the current position, retrying on EINTR and short writes. A write that
// fails or accepts 0 bytes ends it. Returns the bytes written; fewer than `n` means failure, with
// errno set (EIO when the system accepted 0 bytes without an error).
size_t writeFully(FileIO& io, int fd, const void* bytes, size_t n);

// An owned descriptor, closed when it goes; -1 holds nothing.
class UniqueFd {
public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  ~UniqueFd();
  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }

private:
  int fd_ = -1;
};

// Opens `relative` (a path without "." or ".." components, or "" for `dir` itself) below the
// directory `dir`, following no symbolic link on the way and never leaving `dir`; a link or a
// component that is not a directory fails (ELOOP, ENOTDIR, EXDEV). O_CLOEXEC is always added.
int openBeneath(int dir, const std::string& relative, int flags, mode_t mode = 0);

// Creates the directory `name` in `dir` (mode `mode`) unless a directory of that name is there,
// and opens it without following a link: a link or another kind of file there fails (ENOTDIR).
// `made`, when given, tells whether this call created it.
UniqueFd makeDirectoryAt(int dir, const std::string& name, mode_t mode, bool* made = nullptr);

} // namespace va
