#pragma once

#include "capture/process_match.h"

#include <cstdint>
#include <optional>
#include <string>

namespace va {

// A validated create request.
struct CaptureSpec {
  struct Mic {
    std::optional<std::string> deviceUid; // nothing: the system's default input
  };
  struct Remote {
    std::string strategy;
    ProcessMatch match;
  };
  std::string dir; // the capture directory; exists
  int64_t segmentSeconds = 60;
  std::optional<Mic> mic;
  std::optional<Remote> remote;
};

} // namespace va
