#include "e2e/service_process.h"

#include <cstdlib>
#include <gtest/gtest.h>

namespace va::e2e {

RunningService startService(const std::string& root, int parentPid,
                            std::vector<std::string> extraEnv) {
  RunningService s;
  s.process = std::make_unique<testing_support::ChildProcess>(
      std::vector<std::string>{VA_BINARY, "serve", "--root", root, "--parent-pid",
                               std::to_string(parentPid)},
      std::move(extraEnv));
  auto line = s.process->readStdoutLine(std::chrono::seconds(30));
  if (!line)
    return s;
  s.readyLine = *line;
  constexpr std::string_view kPrefix = "VELMORRANT_AUDIO_READY ";
  if (!s.readyLine.starts_with(kPrefix))
    return s;
  auto object = parseJson(std::string_view(s.readyLine).substr(kPrefix.size()));
  if (!object)
    return s;
  s.ready = *object;
  s.port = s.ready.value("port", uint16_t{0});
  s.token = s.ready.value("token", std::string());
  return s;
}

std::string makeTempDir(const std::string& prefix) {
  std::string templ = ::testing::TempDir() + "/" + prefix + "XXXXXX";
  if (!mkdtemp(templ.data()))
    return {};
  return templ;
}

} // namespace va::e2e
