#include "service/output.h"

#include "core/json.h"
#include "core/log.h"
#include "service/exit_now.h"

#include <mutex>
#include <unistd.h>

namespace va {

namespace {
std::mutex stdoutLock;
}

void writeStdoutLine(std::string_view line) {
  std::lock_guard lock(stdoutLock);
  (void)writeAll(STDOUT_FILENO, line); // a closed stdout (parent gone) is not an error here
}

std::string stateLine(int64_t recording) {
  return "VELMORRANT_AUDIO_STATE {\"recording\":" + std::to_string(recording) + "}\n";
}

void fail(std::string_view message) {
  std::string line = "velmorrant-audio: ";
  line.append(message).push_back('\n');
  (void)writeAll(STDERR_FILENO, line);
  exitNow(2);
}

std::string ReadyLine::render(uint16_t port, std::string_view token, std::string_view version,
                              int32_t pid) {
  Json object{{"pid", pid}, {"port", port}, {"token", token}, {"version", version}};
  return "VELMORRANT_AUDIO_READY " + writeJson(object).value_or("{}") + "\n";
}

} // namespace va
