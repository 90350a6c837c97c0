#include "support/child_process.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utility>

extern char** environ;

namespace va::testing_support {

ChildProcess::ChildProcess(std::vector<std::string> argv, std::vector<std::string> extraEnv) {
  int outPipe[2], errPipe[2];
  if (::pipe2(outPipe, O_CLOEXEC) != 0 || ::pipe2(errPipe, O_CLOEXEC) != 0)
    return;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, outPipe[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, errPipe[1], STDERR_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);

  // An extra entry replaces the inherited one of the same name.
  auto name = [](std::string_view entry) { return entry.substr(0, entry.find('=')); };
  for (char** e = environ; *e; ++e)
    if (std::ranges::none_of(extraEnv, [&](const std::string& x) { return name(x) == name(*e); }))
      extraEnv.emplace_back(*e);
  auto pointers = [](std::vector<std::string>& strings) {
    std::vector<char*> out;
    for (std::string& s : strings)
      out.push_back(s.data());
    out.push_back(nullptr);
    return out;
  };
  std::vector<char*> args = pointers(argv), env = pointers(extraEnv);
  if (posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), env.data()) != 0)
    pid_ = -1;
  posix_spawn_file_actions_destroy(&actions);
  ::close(outPipe[1]);
  ::close(errPipe[1]);
  out_ = outPipe[0];
  err_ = errPipe[0];
  ::fcntl(out_, F_SETFL, O_NONBLOCK);
  ::fcntl(err_, F_SETFL, O_NONBLOCK);
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0 && !status_) {
    ::kill(pid_, SIGKILL);
    int st;
    ::waitpid(pid_, &st, 0);
  }
  if (out_ >= 0)
    ::close(out_);
  if (err_ >= 0)
    ::close(err_);
}

void ChildProcess::readAvailable(int fd, std::string& into, bool& eof) {
  char buf[65536];
  ssize_t n;
  while ((n = ::read(fd, buf, sizeof buf)) > 0)
    into.append(buf, static_cast<size_t>(n));
  if (n == 0)
    eof = true; // else nothing more for now (the pipe is non-blocking)
}

std::optional<std::string> ChildProcess::readStdoutLine(std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (size_t nl = outBuf_.find('\n'); nl != std::string::npos) {
      std::string line = outBuf_.substr(0, nl);
      outBuf_.erase(0, nl + 1);
      return line;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (outEof_ || left.count() <= 0)
      return std::nullopt;
    pollfd p{out_, POLLIN, 0};
    ::poll(&p, 1, static_cast<int>(left.count()));
    readAvailable(out_, outBuf_, outEof_);
  }
}

std::optional<int> ChildProcess::wait(std::chrono::milliseconds timeout) {
  if (status_)
    return status_;
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int st = 0;
    pid_t r = ::waitpid(pid_, &st, WNOHANG);
    if (r == pid_) {
      status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
      return status_;
    }
    if (std::chrono::steady_clock::now() >= deadline)
      return std::nullopt;
    // Keep the pipes flowing so a chatty child never blocks on a full pipe.
    readAvailable(out_, outBuf_, outEof_);
    readAvailable(err_, errBuf_, errEof_);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

std::string ChildProcess::drain(int fd, std::string& buffer, bool& eof) {
  for (pollfd p{fd, POLLIN, 0}; !eof && ::poll(&p, 1, 2000) > 0;)
    readAvailable(fd, buffer, eof);
  return std::exchange(buffer, {});
}

void ChildProcess::signal(int sig) {
  if (pid_ > 0 && !status_)
    ::kill(pid_, sig);
}

Completed runToCompletion(std::vector<std::string> argv, std::chrono::milliseconds timeout) {
  ChildProcess child(std::move(argv));
  std::optional<int> status = child.wait(timeout);
  return Completed{status.value_or(-1), child.drainStdout(), child.drainStderr()};
}

} // namespace va::testing_support
