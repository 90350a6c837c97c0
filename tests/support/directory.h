#pragma once

#include "core/file_io.h"

#include <fcntl.h>
#include <string>

namespace va::testing_support {

// A test's own directory, opened as the code under test expects its directories.
inline UniqueFd openDirectory(const std::string& path) {
  return UniqueFd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

} // namespace va::testing_support
