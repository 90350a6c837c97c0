#include "service/command_line.h"
#include "service/descriptor_limit.h"
#include "service/orderly_exit.h"

#include "capture/captures.h"
#include "fakes/scripted_strategy.h"
#include "support/audio_files.h"
#include "support/directory.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <thread>

namespace va {
namespace {

// The pid rows map numbers to refusals; the grammar of a number is
// Decimal.SignedIntegersAndNothingElse's.
TEST(CommandLine, RefusalsInOrder) {
  const std::string usage = "usage: velmorrant-audio serve --root <abs dir> --parent-pid <pid>";
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{}, usage},
      {{"Serve", "--root", "/tmp"}, usage},
      {{"serve"}, "--root must be an absolute directory"},
      {{"serve", "--root", "/tmp"}, "--parent-pid must be a pid"},
      {{"serve", "--root", "relative/dir", "--parent-pid", "123"},
       "--root must be an absolute directory"},
      {{"serve", "--root", "/no/such", "--parent-pid", "123"},
       "--root /no/such is not a directory"},
      {{"serve", "--root", "/tmp", "--parent-pid", "1"}, "--parent-pid must be a pid"},
      {{"serve", "--root", "/tmp", "--parent-pid", "123", "--verbose"}, "--verbose needs a value"},
      {{"serve", "--verbose", "1", "--root", "/tmp", "--parent-pid", "123"},
       "unknown argument --verbose"},
      {{"serve", "--parent-pid", "x", "--root"}, "--root needs a value"},
      {{"serve", "--parent-pid", "x"}, "--root must be an absolute directory"},
      {{"serve", "--root", "/etc/hostname", "--parent-pid", "x"},
       "--root /etc/hostname is not a directory"},
      // A value is taken whatever it looks like.
      {{"serve", "--root", "--parent-pid", "--parent-pid", "5"},
       "--root must be an absolute directory"},
  };
  for (const auto& [args, message] : cases) {
    auto r = parseCommandLine(args);
    ASSERT_FALSE(r.has_value()) << testing::PrintToString(args);
    EXPECT_EQ(r.error(), message) << testing::PrintToString(args);
  }
}

// The last value counts, and a root given as a link is kept as given.
TEST(CommandLine, Accepts) {
  namespace fs = std::filesystem;
  fs::path dir = fs::path(::testing::TempDir()) / "va_cli_link_target";
  fs::path link = fs::path(::testing::TempDir()) / "va_cli_link";
  fs::create_directories(dir);
  fs::remove(link);
  fs::create_directory_symlink(dir, link);
  const std::vector<std::string> args{"serve",       "--root",       "/a", "--root",
                                      link.string(), "--parent-pid", "+77"};
  auto r = parseCommandLine(args);
  ASSERT_TRUE(r) << r.error();
  EXPECT_EQ(r->root, link.string());
  EXPECT_EQ(r->parentPid, 77);
}

TEST(DescriptorLimit, RaisesTheSoftLimitToTheHardOne) {
  rlimit before{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &before), 0);
  if (before.rlim_max < 128)
    GTEST_SKIP() << "hard descriptor limit " << before.rlim_max;
  rlimit lowered{64, before.rlim_max};
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);
  uint64_t limit = raiseDescriptorLimit();
  rlimit after{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &after), 0);
  EXPECT_EQ(after.rlim_cur, limit);
  EXPECT_GT(limit, 64u);
  EXPECT_EQ(after.rlim_max, before.rlim_max);
}

// Connections keep the reserve and every recording track's descriptors free; tracks may take
// all but the reserve and the least number of connections.
TEST(DescriptorLimit, ConnectionsAndTracksShareWhatIsLeftByTheReserve) {
  const std::tuple<uint64_t, size_t, size_t> cases[] = {
      // limit, tracks, connections
      {1048576, 0, 1024}, {1280, 0, 1024}, {1279, 0, 1023}, {1024, 0, 768},
      {272, 0, 16},       {1024, 23, 32},  {1024, 24, 16},  {1048576, 1000, 1024},
  };
  for (const auto& [limit, tracks, cap] : cases)
    EXPECT_EQ(connectionCap(limit, 1024, tracks), cap) << limit << " " << tracks;
  EXPECT_EQ(trackCap(1024), 23u);
  EXPECT_EQ(trackCap(272), 0u);
}

// A capture whose stop hangs: the watchdog ends the process with status 1 (a death test). The
// clean exit is the end-to-end SIGTERM test's.
TEST(OrderlyExit, AHangingStopTripsTheWatchdog) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto journal = std::make_shared<testing_support::CallJournal>();
  Captures captures(
      Captures::Factories{
          .micStatus = {},
          .makeMic = {},
          .makeRemote = [journal](const std::string&, const ProcessMatch&)
              -> std::expected<std::shared_ptr<CaptureStrategy>, RemoteStrategies::Refusal> {
            return std::make_shared<testing_support::ScriptedStrategy>(
                "remote", journal, std::nullopt,
                [] { std::this_thread::sleep_for(std::chrono::seconds(10)); });
          }},
      std::make_shared<MonotonicClock>());
  testing_support::TempDir dir;
  CaptureSpec spec;
  spec.dir = dir.path() + "/slow";
  spec.remote = CaptureSpec::Remote{"fake", ProcessMatch{{"org.example.app"}, {}, true}};
  ASSERT_EQ(::mkdir(spec.dir.c_str(), 0700), 0);
  spec.directory = testing_support::captureDirectory(spec.dir);
  ASSERT_TRUE(captures.create(spec).has_value());
  EXPECT_EXIT(finaliseAndExit("SIGTERM", nullptr, &captures), testing::ExitedWithCode(1),
              "finalising 1 capture\\(s\\)\n.*finalising took too long; exiting");
}

} // namespace
} // namespace va
