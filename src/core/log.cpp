#include "core/log.h"

#include "core/file_io.h"

#include <cerrno>
#include <string>
#include <unistd.h>

namespace va {

bool writeAll(int fd, std::string_view bytes) {
  return writeFully(FileIO::posix(), fd, bytes.data(), bytes.size()) == bytes.size();
}

void log(std::string_view message) {
  std::string line;
  line.reserve(message.size() + 9);
  line.append("[audio] ").append(message).push_back('\n');
  (void)writeAll(STDERR_FILENO, line);
}

} // namespace va
