#pragma once

#include "core/file_io.h"

#include <memory>
#include <string>

namespace va {

// A capture's directory, as the request confined and made it: reached only through descriptors,
// and made again from its parent if it is removed while the capture records.
struct CaptureDirectory {
  UniqueFd parent;  // the directory that holds it, opened beneath the root
  std::string name; // its name in `parent`
  UniqueFd dir;     // the directory itself, opened without following a link
  std::string path; // canonical, for records and messages only
  // The service's root, opened once at start-up, and the directory's path below it ("a/b/x"):
  // the only way the directory is made again. Null root: it is never made again.
  std::shared_ptr<const UniqueFd> root;
  std::string below;
};

} // namespace va
