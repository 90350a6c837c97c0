#pragma once

#include "core/json.h"
#include "platform/input_device.h"
#include "platform/system_info.h"

namespace va {

// The body of GET /sources: {"inputs": [...], "applications": [...]}, built fresh per call.
namespace CaptureSources {

Json json(InputDeviceProvider& devices, ApplicationProvider& applications);

} // namespace CaptureSources

} // namespace va
