#pragma once

#include "capture/capture_spec.h"

#include <optional>
#include <string_view>

namespace va {

// Validates a create-capture body: a JSON object with an absolute "dir", "segmentSeconds" a
// whole number from 1 to 3600 (60 when absent), and at least one of a "mic" object (optional
// non-empty "deviceUid") and a "remote" object (non-empty "strategy", a valid "match").
// Nothing for anything else. "dir" is returned as sent; confining it is the caller's job.
std::optional<CaptureSpec> parseCaptureRequest(std::string_view body);

} // namespace va
