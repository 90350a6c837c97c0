// Records the test tone into <capture dir>/tracks/remote until killed. Prints "recording" once
// the strategy runs. Used to check what a killed process leaves on disk.
#include "capture/event_log.h"
#include "capture/test_tone_strategy.h"
#include "capture/track_sink.h"
#include "support/directory.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: tone_recorder <capture dir> <segment seconds>\n");
    return 2;
  }
  auto clock = std::make_shared<va::MonotonicClock>();
  auto events = std::make_shared<va::EventLog>(clock);
  auto sink = va::TrackSink::make("remote", va::testing_support::captureDirectory(argv[1]),
                                  std::atoll(argv[2]), events, clock);
  if (!sink) {
    std::fprintf(stderr, "no sink: %s\n", sink.error().message().c_str());
    return 1;
  }
  auto tone = std::make_shared<va::TestToneStrategy>(clock);
  if (!tone->start(*sink, events))
    return 1;
  std::printf("recording\n");
  std::fflush(stdout);
  for (;;)
    pause();
}
