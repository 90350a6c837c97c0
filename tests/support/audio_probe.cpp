// Records through the platform layer for a while and reports what arrived, for the
// link-cleanup test and the measurements in tools/bench.
//   va-audio-probe mic UID SECONDS
//   va-audio-probe tap BUNDLE_ID[,BUNDLE_ID...] SECONDS
// Prints "ready" once recording, then one line per second: frames, rate, peak, and the first
// block time (CLOCK_MONOTONIC ns) whose peak exceeded 0.1 ("onset").

#include "platform/pipewire/pipewire_platform.h"

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <sstream>
#include <thread>
#include <unistd.h>

using namespace va;

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: va-audio-probe mic UID SECONDS | tap IDS SECONDS\n");
    return 2;
  }
  std::string mode = argv[1], what = argv[2];
  double seconds = std::atof(argv[3]);
  auto host = pw::Host::start(static_cast<int32_t>(getpid()));
  if (!host || host->connection() != pw::Connection::connected) {
    std::fprintf(stderr, "va-audio-probe: no audio server\n");
    return 1;
  }
  std::mutex mutex;
  uint64_t frames = 0, onset = 0;
  double rate = 0, peak = 0;
  BlockDelivery delivery = [&](std::span<const float> mono, double r, uint64_t timeNs) {
    std::lock_guard lock(mutex);
    frames += mono.size();
    rate = r;
    for (float s : mono) {
      peak = std::max(peak, static_cast<double>(std::fabs(s)));
      if (!onset && std::fabs(s) > 0.1)
        onset = timeNs;
    }
  };
  std::unique_ptr<MicIO> mic;
  std::unique_ptr<TapIO> tap;
  if (mode == "mic") {
    std::optional<InputDevice> device;
    for (int i = 0; i < 100 && !device;
         ++i, std::this_thread::sleep_for(std::chrono::milliseconds(20)))
      device = MicDeviceResolver::resolve(what, *std::make_unique<pw::Inputs>(host));
    if (!device) {
      std::fprintf(stderr, "va-audio-probe: no input %s\n", what.c_str());
      return 1;
    }
    mic = std::make_unique<pw::MicInput>(host);
    if (auto started = mic->start(*device, delivery); !started) {
      std::fprintf(stderr, "va-audio-probe: %s\n", started.error().description.c_str());
      return 1;
    }
  } else if (mode == "tap") {
    std::vector<std::string> ids;
    std::stringstream list(what);
    for (std::string id; std::getline(list, id, ',');)
      ids.push_back(id);
    std::vector<uint32_t> objects;
    for (int i = 0; i < 100 && objects.size() < ids.size(); ++i) {
      objects.clear();
      for (const AudioProcessInfo& p : pw::Processes(host).processes())
        for (const std::string& id : ids)
          if (p.bundleID == id)
            objects.push_back(p.objectID);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    tap = pw::makeTap(host);
    if (auto started = tap->start(objects, delivery, nullptr); !started) {
      std::fprintf(stderr, "va-audio-probe: %s\n", started.error().description.c_str());
      return 1;
    }
  } else {
    return 2;
  }
  std::printf("ready\n");
  std::fflush(stdout);
  for (int second = 0; second < seconds; ++second) {
    std::this_thread::sleep_for(std::chrono::seconds(1));
    std::lock_guard lock(mutex);
    std::printf("frames %llu rate %.0f peak %.3f onset %llu\n",
                static_cast<unsigned long long>(frames), rate, peak,
                static_cast<unsigned long long>(onset));
    std::fflush(stdout);
    peak = 0;
  }
  if (mic)
    mic->stop();
  if (tap)
    tap->stop();
  return 0;
}
