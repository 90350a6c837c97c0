#pragma once

#include "capture/capture_directory.h"
#include "core/file_io.h"

#include <fcntl.h>
#include <memory>
#include <string>

namespace va::testing_support {

// A test's own directory, opened as the code under test expects its directories.
inline UniqueFd openDirectory(const std::string& path) {
  return UniqueFd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

// An existing directory as a capture's directory (reached from its parent).
inline std::shared_ptr<const CaptureDirectory> captureDirectory(const std::string& path) {
  size_t slash = path.rfind('/');
  return std::make_shared<const CaptureDirectory>(
      CaptureDirectory{.parent = openDirectory(slash == 0 ? "/" : path.substr(0, slash)),
                       .name = path.substr(slash + 1),
                       .dir = openDirectory(path),
                       .path = path,
                       .root = nullptr,
                       .below = {}});
}

} // namespace va::testing_support
