#include "core/log.h"

#include <cerrno>
#include <string>
#include <unistd.h>

namespace va {

bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR)
        continue;
      return false;
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

void log(std::string_view message) {
  std::string line;
  line.reserve(message.size() + 9);
  line.append("[audio] ").append(message).push_back('\n');
  (void)writeAll(STDERR_FILENO, line);
}

} // namespace va
