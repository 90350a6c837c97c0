#pragma once

#include <string>

namespace va {

// An error value with one description.
struct CaptureError {
  std::string description;
};

} // namespace va
