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

} // namespace va::e2e
