#pragma once

#include "core/file_io.h"

#include <string>

namespace va {

// A capture's directory, as the request confined and made it: reached only through descriptors,
// and made again from its parent if it is removed while the capture records.
struct CaptureDirectory {
  UniqueFd parent;  // the directory that holds it, opened beneath the root
  std::string name; // its name in `parent`
  UniqueFd dir;     // the directory itself, opened without following a link
  std::string path; // canonical, for records and messages only
};

} // namespace va
