// The orderly exit in a child process (a death test): a capture whose stop hangs ends the process
// through the watchdog with status 1. The clean exit is the end-to-end SIGTERM test's.

#include "service/orderly_exit.h"

#include "capture/captures.h"
#include "fakes/scripted_strategy.h"
#include "support/audio_files.h"
#include "support/directory.h"

#include <gtest/gtest.h>
#include <thread>

namespace va {
namespace {

TEST(OrderlyExit, AHangingStopTripsTheWatchdog) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto journal = std::make_shared<testing_support::CallJournal>();
  Captures captures(
      Captures::Factories{
          .micStatus = [] { return std::string("granted"); },
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
