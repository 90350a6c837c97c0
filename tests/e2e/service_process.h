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
// With `descriptorLimit`, the service runs under that hard and soft RLIMIT_NOFILE.
RunningService startService(const std::string& root, int parentPid,
                            std::vector<std::string> extraEnv = {}, uint64_t descriptorLimit = 0);

// One authorized request to the service; status 0 when no response came.
struct Reply {
  int status = 0;
  Json json; // null when the body is not JSON
};
Reply call(const RunningService& service, std::string_view method, std::string_view path,
           std::string_view body = {});

// A fresh 0700 directory under the test temp dir.
std::string makeTempDir(const std::string& prefix);

} // namespace va::e2e
