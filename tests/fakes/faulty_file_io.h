#pragma once

#include "core/file_io.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <limits>
#include <mutex>

namespace va::testing_support {

// The real file system with faults on demand: a budget of bytes that writes may still add (a
// disk that fills up: the write that crosses it is cut short, later ones fail with `writeErrno`),
// and failing opens, fsyncs and renames. Positional writes of existing bytes (header rewrites)
// do not consume the budget, as on a real full disk.
class FaultyFileIO final : public FileIO {
public:
  void setWriteBudget(size_t bytes, int err = ENOSPC) {
    std::lock_guard lock(mutex_);
    budget_ = bytes;
    writeErrno_ = err;
  }
  void unlimited() { setWriteBudget(std::numeric_limits<size_t>::max()); }
  // Every write takes at most `bytes` (short writes that are not failures).
  void shortWrites(size_t bytes) { chunk_ = bytes; }
  void failOpens(int err) { openErrno_ = err; }
  void failFsyncs(int err) { fsyncErrno_ = err; }
  void failRenames(int err) { renameErrno_ = err; }

  int openat(int dir, const std::string& name, int flags, mode_t mode) override {
    return fails(openErrno_) ? -1 : FileIO::posix().openat(dir, name, flags, mode);
  }
  ssize_t write(int fd, const void* bytes, size_t n) override {
    size_t allowed;
    {
      std::lock_guard lock(mutex_);
      if (budget_ == 0) {
        errno = writeErrno_;
        return -1;
      }
      allowed = std::min({n, budget_, chunk_.load()});
      if (budget_ != std::numeric_limits<size_t>::max())
        budget_ -= allowed;
    }
    return FileIO::posix().write(fd, bytes, allowed);
  }
  ssize_t pwrite(int fd, const void* bytes, size_t n, off_t offset) override {
    return FileIO::posix().pwrite(fd, bytes, n, offset);
  }
  int ftruncate(int fd, off_t length) override { return FileIO::posix().ftruncate(fd, length); }
  int fsync(int fd) override { return fails(fsyncErrno_) ? -1 : FileIO::posix().fsync(fd); }
  int close(int fd) override { return FileIO::posix().close(fd); }
  int renameat(int fromDir, const std::string& from, int toDir, const std::string& to) override {
    return fails(renameErrno_) ? -1 : FileIO::posix().renameat(fromDir, from, toDir, to);
  }
  int unlinkat(int dir, const std::string& name) override {
    return FileIO::posix().unlinkat(dir, name);
  }

private:
  // Sets errno to the failure on demand, if there is one.
  static bool fails(const std::atomic<int>& failure) {
    errno = failure.load();
    return errno != 0;
  }

  std::mutex mutex_;
  size_t budget_ = std::numeric_limits<size_t>::max();
  int writeErrno_ = ENOSPC;
  std::atomic<size_t> chunk_{std::numeric_limits<size_t>::max()};
  std::atomic<int> openErrno_{0}, fsyncErrno_{0}, renameErrno_{0};
};

} // namespace va::testing_support
