// Black-box tests of the built binary: its command line, READY line and exits.

#include "e2e/service_process.h"
#include "support/socket_client.h"

#include <atomic>
#include <csignal>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace va::e2e {
namespace {

using namespace std::chrono_literals;
using testing_support::ChildProcess;
using testing_support::runToCompletion;

TEST(ServiceCommandLine, RefusesWithExactMessages) {
  const std::string usage = "usage: velmorrant-audio serve --root <abs dir> --parent-pid <pid>";
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  // Every message is in the parser's own table; here, how the binary delivers one of each kind.
  const Case cases[] = {
      {{}, usage},
      {{"serve", "--root", "/etc/hostname", "--parent-pid", "123"},
       "--root /etc/hostname is not a directory"},
      {{"serve", "--root", "/tmp", "--parent-pid", "1"}, "--parent-pid must be a pid"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> argv{VA_BINARY};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    auto done = runToCompletion(argv);
    EXPECT_EQ(done.status, 2) << testing::PrintToString(c.args);
    EXPECT_EQ(done.err, "velmorrant-audio: " + c.message + "\n") << testing::PrintToString(c.args);
    EXPECT_EQ(done.out, "") << testing::PrintToString(c.args);
  }
}

class ServiceLifecycle : public testing::Test {
protected:
  void SetUp() override {
    root_ = makeTempDir("va_e2e_root");
    ASSERT_FALSE(root_.empty());
  }
  std::string root_;
};

TEST_F(ServiceLifecycle, AnnouncesItselfServesAndExitsOnSigterm) {
  RunningService s = startService(root_, getpid());
  ASSERT_TRUE(s.ready.is_object()) << s.readyLine;
  // Exactly the four keys, sorted, compact.
  EXPECT_EQ(s.readyLine, "VELMORRANT_AUDIO_READY {\"pid\":" + std::to_string(s.process->pid()) +
                             ",\"port\":" + std::to_string(s.port) + ",\"token\":\"" + s.token +
                             "\",\"version\":\"0.1.0\"}");
  EXPECT_EQ(s.token.find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_EQ(s.token.size(), 64u);
  EXPECT_EQ(s.ready["pid"].get<int>(), s.process->pid());

  std::string health =
      testing_support::roundTrip(s.port, testing_support::getRequest("/health", s.token));
  EXPECT_TRUE(health.ends_with("{\"ok\":true,\"version\":\"0.1.0\"}")) << health;

  s.process->signal(SIGTERM);
  EXPECT_EQ(s.process->wait(30s), 0);
  EXPECT_EQ(s.process->drainStdout(), ""); // nothing after the READY line
  std::string diagnostics = s.process->drainStderr();
  // The start-up line in its exact form; the descriptor figures on a line of their own.
  std::string start = "[audio] listening on 127.0.0.1:" + std::to_string(s.port) + ", root " +
                      root_ + ", parent " + std::to_string(getpid()) + "\n[audio] ";
  std::string end = " connections\n[audio] SIGTERM; finalising 0 capture(s)\n";
  ASSERT_TRUE(diagnostics.starts_with(start) && diagnostics.ends_with(end)) << diagnostics;
  EXPECT_THAT(diagnostics.substr(start.size(), diagnostics.size() - start.size() - end.size()),
              testing::MatchesRegex("[0-9]+ descriptors, at most [0-9]+"));
}

TEST_F(ServiceLifecycle, TokenIsNewEveryRun) {
  RunningService a = startService(root_, getpid());
  RunningService b = startService(root_, getpid());
  ASSERT_EQ(a.token.size(), 64u);
  ASSERT_EQ(b.token.size(), 64u);
  EXPECT_NE(a.token, b.token);
  EXPECT_NE(a.port, b.port);
}

TEST_F(ServiceLifecycle, ExitsWhenTheParentIsAlreadyGone) {
  ChildProcess parent({"/bin/true"});
  ASSERT_EQ(parent.wait(30s), 0); // reaped: the pid names no process now
  RunningService s = startService(root_, parent.pid());
  EXPECT_TRUE(s.ready.is_object()) << "the READY line still comes first";
  EXPECT_EQ(s.process->wait(30s), 0);
  std::string err = s.process->drainStderr();
  EXPECT_TRUE(err.ends_with("[audio] parent " + std::to_string(parent.pid()) +
                            " exited; finalising 0 capture(s)\n"))
      << err;
}

// The one real-time check of the 30-second connection deadline: a request trickled a byte every
// 100 ms does not keep its connection past it, and is never answered.
TEST_F(ServiceLifecycle, CutsATrickledRequestAtThirtySeconds) {
  RunningService s = startService(root_, getpid());
  ASSERT_TRUE(s.ready.is_object());
  int fd = testing_support::connectLoopback(s.port);
  ASSERT_GE(fd, 0);
  auto start = std::chrono::steady_clock::now();
  std::atomic<bool> done{false};
  std::thread trickle([&] {
    std::string bytes = "GET /health HTTP/1.1\r\nAuthorization: Bearer " + s.token +
                        "\r\nX-Slow: " + std::string(1000, 'a');
    for (char b : bytes) {
      if (done.load() || ::send(fd, &b, 1, MSG_NOSIGNAL) != 1)
        return;
      std::this_thread::sleep_for(100ms);
    }
  });
  auto r = testing_support::readUntilClosed(fd, 90s);
  auto waited = std::chrono::steady_clock::now() - start;
  done.store(true);
  trickle.join();
  ::close(fd);
  EXPECT_TRUE(r.closed);
  EXPECT_EQ(r.bytes, "");
  EXPECT_GE(waited, 29s) << "closed before its deadline";
  s.process->signal(SIGTERM);
  EXPECT_EQ(s.process->wait(30s), 0);
}

} // namespace
} // namespace va::e2e
