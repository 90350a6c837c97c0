#pragma once

#include "capture/capture_spec.h"
#include "core/json.h"

#include <expected>
#include <string>
#include <string_view>
#include <vector>

namespace va {

struct CaptureRequest {
  CaptureSpec spec;
  std::vector<std::string> ignoredFields; // JSON paths of the keys that were not used, sorted
};

// Validates a create-capture body: a JSON object with an absolute "dir", "segmentSeconds" a
// whole number from 1 to 3600 (60 when absent), and at least one of a "mic" object (optional
// non-empty "deviceUid", boolean "echoCancellation" and "keepRaw") and a "remote" object
// (non-empty "strategy", a valid "match"). Otherwise the first field found wrong. Unknown keys
// are ignored and listed. "dir" is returned as sent; confining it is the caller's job.
std::expected<CaptureRequest, JsonProblem> parseCaptureRequest(std::string_view body);

} // namespace va
