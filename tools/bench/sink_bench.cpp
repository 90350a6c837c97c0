// CPU cost of one track: an hour of mono float input at the device's rate, in 10 ms blocks,
// through a real TrackSink (conversion, 16-bit, WAV segments of 60 s with header refreshes and
// fsync) into a temporary directory. Next to it, the cost of writing the same 16 kHz output
// with SegmentWriter alone, which is the floor the sink cannot go below.
//
// Usage: sink_bench [minutes]   (default 60; figures are scaled to one hour)

#include "capture/event_log.h"
#include "capture/segment_writer.h"
#include "capture/track_sink.h"
#include "core/clock.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace va;

struct Usage {
  double cpuS = 0;  // user + system, all threads
  double wallS = 0; // steady clock
};

double cpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  auto s = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return s(u.ru_utime) + s(u.ru_stime);
}

long peakRssKiB() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_maxrss;
}

template <typename Body> Usage measure(Body&& body) {
  double cpu0 = cpuSeconds();
  auto wall0 = std::chrono::steady_clock::now();
  body();
  return {cpuSeconds() - cpu0,
          std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count()};
}

// One second of a 440 Hz sine at 0.25; the rates here hold a whole number of periods per
// second, so repeating it is seamless.
std::vector<float> toneSecond(int rateHz) {
  std::vector<float> out(static_cast<size_t>(rateHz));
  for (size_t i = 0; i < out.size(); ++i)
    out[i] = static_cast<float>(0.25 * std::sin(2 * M_PI * 440 * static_cast<double>(i) / rateHz));
  return out;
}

struct SinkRun {
  Usage usage;
  TrackSummary summary;
};

// The benchmark's own directory, as a capture directory.
std::shared_ptr<const CaptureDirectory> directoryOf(const std::string& dir) {
  auto open = [](const std::string& path) {
    return UniqueFd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  };
  return std::make_shared<const CaptureDirectory>(
      CaptureDirectory{.parent = open(std::filesystem::path(dir).parent_path().string()),
                       .name = std::filesystem::path(dir).filename().string(),
                       .dir = open(dir),
                       .path = dir,
                       .root = nullptr,
                       .below = {}});
}

SinkRun runSink(int rateHz, int minutes, const std::string& dir) {
  auto clock = std::make_shared<MonotonicClock>();
  auto events = std::make_shared<EventLog>(clock);
  std::filesystem::create_directories(dir);
  // Levels on, as in a capture.
  auto made = TrackSink::make("mic", directoryOf(dir), 60, events, clock,
                              TrackSink::Options{.queue = nullptr,
                                                 .io = nullptr,
                                                 .levels = std::make_shared<TrackLevels>(),
                                                 .makeQueue = {},
                                                 .claims = {},
                                                 .stage = nullptr});
  if (!made) {
    std::fprintf(stderr, "sink_bench: cannot create the sink in %s: %s\n", dir.c_str(),
                 made.error().message().c_str());
    std::exit(1);
  }
  auto sink = *made;
  auto second = toneSecond(rateHz);
  size_t block = static_cast<size_t>(rateHz / 100);
  SinkRun run;
  run.usage = measure([&] {
    uint64_t hostNs = 1'000'000'000;
    for (int s = 0; s < minutes * 60; ++s) {
      for (size_t at = 0; at < second.size(); at += block) {
        sink->write(std::span(second).subspan(at, block), rateHz, hostNs);
        hostNs += 10'000'000;
      }
      // Pace like a device: never more than a second queued.
      sink->waitIdle();
    }
    run.summary = sink->finish();
  });
  return run;
}

Usage runWriterAlone(int minutes, const std::string& dir) {
  std::filesystem::create_directories(dir);
  auto writer = SegmentWriter::make(directoryOf(dir), "raw", 60 * SegmentWriter::kRateHz, {});
  if (!writer) {
    std::fprintf(stderr, "sink_bench: cannot create the writer: %s\n",
                 writer.error().message().c_str());
    std::exit(1);
  }
  std::vector<int16_t> second(SegmentWriter::kRateHz);
  for (size_t i = 0; i < second.size(); ++i)
    second[i] = static_cast<int16_t>(
        std::lround(8192 * std::sin(2 * M_PI * 440 * static_cast<double>(i) / 16000)));
  return measure([&] {
    uint64_t ns = 0;
    for (int s = 0; s < minutes * 60; ++s)
      for (size_t at = 0; at < second.size(); at += 160, ns += 160 * SegmentWriter::kNsPerFrame)
        (*writer)->append(second.data() + at, 160, ns);
    (*writer)->closeSegment();
  });
}

} // namespace

int main(int argc, char** argv) {
  int minutes = argc > 1 ? std::atoi(argv[1]) : 60;
  if (minutes <= 0) {
    std::fprintf(stderr, "usage: sink_bench [minutes]\n");
    return 2;
  }
  double perHour = 60.0 / minutes;
  auto root = std::filesystem::temp_directory_path() / ("sink-bench-" + std::to_string(getpid()));
  std::filesystem::create_directories(root);

  std::printf("%d min of input per run; CPU and wall scaled to one hour\n", minutes);
  std::printf("%-22s %12s %12s %10s %10s\n", "run", "CPU s/hour", "wall s/hour", "segments",
              "frames");
  for (int rate : {48000, 44100}) {
    auto dir = (root / ("sink-" + std::to_string(rate))).string();
    auto run = runSink(rate, minutes, dir);
    std::printf("%-22s %12.3f %12.3f %10lld %10lld\n",
                ("TrackSink " + std::to_string(rate) + " Hz").c_str(), run.usage.cpuS * perHour,
                run.usage.wallS * perHour, static_cast<long long>(run.summary.segments),
                static_cast<long long>(run.summary.frames));
    std::filesystem::remove_all(dir);
  }
  auto raw = runWriterAlone(minutes, (root / "raw").string());
  std::printf("%-22s %12.3f %12.3f\n", "SegmentWriter alone", raw.cpuS * perHour,
              raw.wallS * perHour);
  std::printf("peak RSS %ld KiB\n", peakRssKiB());
  std::filesystem::remove_all(root);
  return 0;
}
