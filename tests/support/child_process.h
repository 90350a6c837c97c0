#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace va::testing_support {

// A child process with its standard output and error captured through pipes.
class ChildProcess {
public:
  // argv[0] is the program path. Extra environment entries are added to ours.
  explicit ChildProcess(std::vector<std::string> argv, std::vector<std::string> extraEnv = {});
  ~ChildProcess(); // kills (SIGKILL) and reaps a child that is still running
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }
  // The next line of standard output (without its "\n"), or nothing by the deadline / at EOF.
  std::optional<std::string> readStdoutLine(std::chrono::milliseconds timeout);
  // Waits for the exit; the exit status, 128 + signal for a signal, or nothing on timeout.
  std::optional<int> wait(std::chrono::milliseconds timeout);
  // Everything the child wrote, read until EOF (call after wait()).
  std::string drainStdout() { return drain(out_, outBuf_, outEof_); }
  std::string drainStderr() { return drain(err_, errBuf_, errEof_); }
  void signal(int sig);

private:
  static void readAvailable(int fd, std::string& into, bool& eof);
  static std::string drain(int fd, std::string& buffer, bool& eof);
  pid_t pid_ = -1;
  int out_ = -1, err_ = -1;
  std::string outBuf_, errBuf_;
  bool outEof_ = false, errEof_ = false;
  std::optional<int> status_;
};

// Runs a shell-free command to completion and returns (status, stdout, stderr).
struct Completed {
  int status;
  std::string out, err;
};
Completed runToCompletion(std::vector<std::string> argv,
                          std::chrono::milliseconds timeout = std::chrono::seconds(30));

} // namespace va::testing_support
