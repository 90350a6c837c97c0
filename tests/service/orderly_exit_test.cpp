// The orderly exit in a child process (death tests): captures stopped, status 0; a stop that
// hangs ends the process through the watchdog with status 1.

#include "service/orderly_exit.h"

#include "capture/captures.h"
#include "fakes/scripted_strategy.h"
#include "support/audio_files.h"
#include "support/directory.h"

#include <gtest/gtest.h>
#include <thread>

namespace va {
namespace {

using testing_support::CallJournal;
using testing_support::ScriptedStrategy;

class OrderlyExit : public testing::Test {
protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }

  // A registry whose remote strategy runs `onStop` inside its stop.
  std::unique_ptr<Captures> registry(std::function<void()> onStop) {
    auto journal = std::make_shared<CallJournal>();
    return std::make_unique<Captures>(
        Captures::Factories{
            .micStatus = [] { return std::string("granted"); },
            .makeMic = {},
            .makeRemote = [journal, onStop](const std::string&, const ProcessMatch&)
                -> std::expected<std::shared_ptr<CaptureStrategy>, RemoteStrategies::Refusal> {
              return std::make_shared<ScriptedStrategy>("remote", journal, std::nullopt, onStop);
            }},
        std::make_shared<MonotonicClock>());
  }
  bool record(Captures& captures, const std::string& subdir) {
    CaptureSpec spec;
    spec.dir = dir_.path() + "/" + subdir;
    spec.remote = CaptureSpec::Remote{"fake", ProcessMatch{{"org.example.app"}, {}, true}};
    if (::mkdir(spec.dir.c_str(), 0700) != 0)
      return false;
    spec.directory = testing_support::captureDirectory(spec.dir);
    return captures.create(spec).has_value();
  }
  testing_support::TempDir dir_;
};

TEST_F(OrderlyExit, AHangingStopTripsTheWatchdog) {
  auto captures = registry([] { std::this_thread::sleep_for(std::chrono::seconds(10)); });
  ASSERT_TRUE(record(*captures, "slow"));
  EXPECT_EXIT(finaliseAndExit("SIGTERM", nullptr, captures.get()), testing::ExitedWithCode(1),
              "finalising 1 capture\\(s\\)\n.*finalising took too long; exiting");
}

} // namespace
} // namespace va
