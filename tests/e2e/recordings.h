#pragma once

// What the black-box tests read back from a running service's recordings and event logs.

#include "e2e/service_process.h"

#include <string>
#include <utility>
#include <vector>

namespace va::e2e {

// Every sample of a track directory's segments, as floats, and how many segments there were.
std::pair<std::vector<float>, size_t> trackAudio(const std::string& dir);

// Long-polls the capture's events (from `after`, which it advances) until one of `type`
// arrives; its fields, or null after 30 s.
Json awaitEvent(const RunningService& service, const std::string& id, const std::string& type,
                int64_t& after);

// Waits until the newest of at least `segments` segments of a track directory holds `seconds`
// of 16 kHz audio.
bool newestSegmentHolds(const std::string& dir, size_t segments, double seconds);

// A started service (in a fresh root) with one capture, read as the tests read it.
struct CaptureSession {
  std::string root;
  RunningService service;
  std::string id; // empty when the capture was not created
  int64_t after = 0;

  // The next event of `type` from `after` on (see awaitEvent).
  Json await(const std::string& type) { return awaitEvent(service, id, type, after); }
  // Every event so far, for failure messages.
  std::string events() const;
  std::string track(const std::string& name) const { return root + "/rec/tracks/" + name; }
};

// Starts the service with `env` and creates a capture of `tracks` in <root>/rec.
CaptureSession startCapture(const std::vector<std::string>& env, Json tracks,
                            const std::string& prefix);

} // namespace va::e2e
