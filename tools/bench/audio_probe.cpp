// Records through the platform layer for a while and reports what arrived, for the
// link-cleanup test and tools/bench/platform_bench.sh.
//   va-audio-probe [--mic UID] [--tap BUNDLE_ID[,BUNDLE_ID...]] SECONDS
// Prints "ready" once recording, then once a second per input: its frames so far, rate and
// peak; and once per input the first block holding a sample above 0.1: "onset <input> <block
// time> <arrival time>" (CLOCK_MONOTONIC ns).
//   va-audio-probe --watch BUNDLE_ID SECONDS
// Prints "ready", then the first time a process of that identity plays (its output stream is
// running): "running <pid> <time>" (CLOCK_MONOTONIC ns), for tools/bench/real_apps.sh.

#include "platform/pipewire/pipewire_platform.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <sstream>
#include <thread>
#include <unistd.h>

using namespace va;

namespace {

uint64_t monotonicNs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000000000ull + static_cast<uint64_t>(now.tv_nsec);
}

struct Meter {
  explicit Meter(std::string label) : name(std::move(label)) {}
  std::string name;
  std::mutex mutex;
  uint64_t frames = 0;
  double rate = 0, peak = 0;
  bool onset = false;

  BlockDelivery delivery() {
    return [this](std::span<const float> mono, double r, uint64_t timeNs) {
      std::lock_guard lock(mutex);
      frames += mono.size();
      rate = r;
      for (float s : mono)
        peak = std::max(peak, static_cast<double>(std::fabs(s)));
      if (!onset && peak > 0.1) {
        onset = true;
        std::printf("onset %s %llu %llu\n", name.c_str(), static_cast<unsigned long long>(timeNs),
                    static_cast<unsigned long long>(monotonicNs()));
        std::fflush(stdout);
      }
    };
  }
  void report() {
    std::lock_guard lock(mutex);
    std::printf("%s frames %llu rate %.0f peak %.3f\n", name.c_str(),
                static_cast<unsigned long long>(frames), rate, peak);
    peak = 0;
  }
};

[[noreturn]] void fail(const std::string& message) {
  std::fprintf(stderr, "va-audio-probe: %s\n", message.c_str());
  std::exit(1);
}

} // namespace

int main(int argc, char** argv) {
  std::string micUid, tapIds, watchId;
  double seconds = -1;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if ((arg == "--mic" || arg == "--tap" || arg == "--watch") && i + 1 < argc)
      (arg == "--mic" ? micUid : arg == "--tap" ? tapIds : watchId) = argv[++i];
    else
      seconds = std::atof(argv[i]);
  }
  if (seconds < 0 || (micUid.empty() && tapIds.empty() && watchId.empty())) {
    std::fprintf(stderr, "usage: va-audio-probe [--mic UID] [--tap IDS] [--watch ID] SECONDS\n");
    return 2;
  }
  auto host = pw::Host::start(static_cast<int32_t>(getpid()));
  if (!host || host->connection() != pw::Connection::connected)
    fail("no audio server");
  if (!watchId.empty()) {
    std::printf("ready\n");
    std::fflush(stdout);
    pw::Processes processes(host);
    for (uint64_t end = monotonicNs() + static_cast<uint64_t>(seconds * 1e9); monotonicNs() < end;
         std::this_thread::sleep_for(std::chrono::milliseconds(2)))
      for (const AudioProcessInfo& p : processes.processes())
        if (p.bundleID == watchId && p.runningOutput) {
          std::printf("running %d %llu\n", p.pid, static_cast<unsigned long long>(monotonicNs()));
          return 0;
        }
    return 1;
  }
  auto wait = [](auto found) {
    for (int i = 0; i < 250 && !found(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
  };

  Meter micMeter("mic"), tapMeter("tap");
  std::unique_ptr<MicIO> mic;
  std::unique_ptr<TapIO> tap;
  if (!micUid.empty()) {
    pw::Inputs inputs(host);
    std::optional<InputDevice> device;
    wait([&] { return (device = MicDeviceResolver::resolve(micUid, inputs)).has_value(); });
    if (!device)
      fail("no input " + micUid);
    mic = std::make_unique<pw::MicInput>(host);
    if (auto started = mic->start(*device, micMeter.delivery()); !started)
      fail(started.error().description);
  }
  if (!tapIds.empty()) {
    std::vector<std::string> ids;
    std::stringstream list(tapIds);
    for (std::string id; std::getline(list, id, ',');)
      ids.push_back(id);
    std::vector<uint32_t> objects;
    wait([&] {
      objects.clear();
      for (const AudioProcessInfo& p : pw::Processes(host).processes())
        if (std::find(ids.begin(), ids.end(), p.bundleID) != ids.end())
          objects.push_back(p.objectID);
      return objects.size() >= ids.size();
    });
    tap = pw::makeTap(host);
    if (auto started = tap->start(objects, tapMeter.delivery(), nullptr); !started)
      fail(started.error().description);
  }
  std::printf("ready\n");
  std::fflush(stdout);
  for (int second = 0; second < seconds; ++second) {
    std::this_thread::sleep_for(std::chrono::seconds(1));
    if (mic)
      micMeter.report();
    if (tap)
      tapMeter.report();
    std::fflush(stdout);
  }
  if (mic)
    mic->stop();
  if (tap)
    tap->stop();
  return 0;
}
