#pragma once

#include <mutex>
#include <string_view>

namespace va {

// A value behind a mutex; every read and write takes the lock for just that access.
template <class T> class Locked {
public:
  explicit Locked(T value = T{}) : value_(std::move(value)) {}
  T get() const {
    std::lock_guard lock(mutex_);
    return value_;
  }
  void set(T value) {
    std::lock_guard lock(mutex_);
    value_ = std::move(value);
  }

private:
  mutable std::mutex mutex_;
  T value_;
};

// Remembers, for the life of the process, that capturing other applications' audio was refused.
class CapturePermissions {
public:
  static CapturePermissions& shared();

  // Records a refused tap and logs "tap refused: <description>".
  void systemAudioRefused(std::string_view description);
  bool refused() const { return refused_.get(); }

private:
  Locked<bool> refused_{false};
};

} // namespace va
