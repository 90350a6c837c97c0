#include "service/parent_watch.h"

#include <asio/io_context.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <cerrno>
#include <csignal>
#include <sys/syscall.h>
#include <unistd.h>

namespace va {

namespace {

bool processGone(pid_t pid) {
  return ::kill(pid, 0) != 0 && errno == ESRCH;
}

// A pidfd becomes readable when its process exits.
class PidfdWatch final : public ParentWatch {
public:
  PidfdWatch(asio::io_context& loop, int fd, std::function<void()> onExit)
      : descriptor_(loop, fd), onExit_(std::move(onExit)) {
    descriptor_.async_wait(asio::posix::stream_descriptor::wait_read, [this](std::error_code ec) {
      if (!ec)
        onExit_();
    });
  }

private:
  asio::posix::stream_descriptor descriptor_;
  std::function<void()> onExit_;
};

// Without pidfd_open (old kernels, seccomp): probe the pid every 250 ms.
class PollingWatch final : public ParentWatch {
public:
  PollingWatch(asio::io_context& loop, pid_t pid, std::function<void()> onExit)
      : timer_(loop), pid_(pid), onExit_(std::move(onExit)) {
    arm();
  }

private:
  void arm() {
    timer_.expires_after(std::chrono::milliseconds(250));
    timer_.async_wait([this](std::error_code ec) {
      if (ec)
        return;
      if (processGone(pid_))
        onExit_();
      else
        arm();
    });
  }
  asio::steady_timer timer_;
  pid_t pid_;
  std::function<void()> onExit_;
};

} // namespace

std::unique_ptr<ParentWatch> ParentWatch::start(pid_t pid, asio::io_context& loop,
                                                std::function<void()> onExit) {
  std::unique_ptr<ParentWatch> watch;
  int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  if (fd >= 0)
    watch = std::make_unique<PidfdWatch>(loop, fd, onExit);
  else
    watch = std::make_unique<PollingWatch>(loop, pid, onExit);
  // A parent that died before the watch was armed is handled as if it had just exited.
  if (processGone(pid))
    asio::post(loop, onExit);
  return watch;
}

} // namespace va
