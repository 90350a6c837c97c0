#pragma once

#include "core/json.h"
#include "platform/input_device.h"
#include "platform/system_info.h"
#include "platform/tap_io.h"

namespace va {

// The body of GET /sources: {"inputs": [...], "applications": [...]}, built fresh per call.
namespace CaptureSources {

// An application is "playing" when one of its processes, or a process of its identity, plays
// audio now (never, without `processes`).
Json json(InputDeviceProvider& devices, ApplicationProvider& applications,
          ProcessObjectProvider* processes = nullptr);

} // namespace CaptureSources

} // namespace va
