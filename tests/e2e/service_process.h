#pragma once

#include "core/json.h"
#include "support/child_process.h"

#include <memory>
#include <string>

namespace va::e2e {

// The built service, started with `serve --root <root> --parent-pid <parent>`, its READY line read.
struct RunningService {
  std::unique_ptr<testing_support::ChildProcess> process;
  std::string readyLine;
  Json ready; // the READY object
  uint16_t port = 0;
  std::string token;
};

// Starts the binary and waits (generously) for its READY line; `ready` is null if none came.
RunningService startService(const std::string& root, int parentPid,
                            std::vector<std::string> extraEnv = {});

// A fresh 0700 directory under the test temp dir.
std::string makeTempDir(const std::string& prefix);

} // namespace va::e2e
