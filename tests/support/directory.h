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

// An existing directory as a capture's directory (reached from its parent), made again from
// `root` (a directory above it) if that is given.
inline std::shared_ptr<const CaptureDirectory> captureDirectory(const std::string& path,
                                                                const std::string& root = {}) {
  size_t slash = path.rfind('/');
  return std::make_shared<const CaptureDirectory>(CaptureDirectory{
      .parent = openDirectory(slash == 0 ? "/" : path.substr(0, slash)),
      .name = path.substr(slash + 1),
      .dir = openDirectory(path),
      .path = path,
      .root = root.empty() ? nullptr : std::make_shared<const UniqueFd>(openDirectory(root)),
      .below = root.empty() ? "" : path.substr(root.size() + 1)});
}

} // namespace va::testing_support
