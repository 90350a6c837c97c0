#pragma once

#include "capture/capture_directory.h"
#include "capture/process_match.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace va {

// A validated create request.
struct CaptureSpec {
  struct Mic {
    std::optional<std::string> deviceUid; // nothing: the system's default input
    bool echoCancellation = false;        // cancel what the default output plays
    bool keepRaw = false;                 // with it, also write the unprocessed track "micRaw"
  };
  struct Remote {
    std::string strategy;
    ProcessMatch match;
  };
  std::string dir; // the capture directory's canonical path, for records and messages
  // The capture directory itself, reached through descriptors; tracks are made below it.
  std::shared_ptr<const CaptureDirectory> directory;
  int64_t segmentSeconds = 60;
  std::optional<Mic> mic;
  std::optional<Remote> remote;
};

} // namespace va
