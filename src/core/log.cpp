#include "core/log.h"

#include "core/file_io.h"

#include <atomic>
#include <cerrno>
#include <poll.h>
#include <string>
#include <unistd.h>

namespace va {

namespace {

// Lines not written because standard error was full; told with the next line that goes out.
std::atomic<uint64_t> dropped{0};

// Whether a line can go out without waiting. A parent that never reads our standard error must
// not stall the thread that logs: a full pipe is not writable until a page of it is free, and
// that page holds a whole line.
bool writable() {
  pollfd p{STDERR_FILENO, POLLOUT, 0};
  return ::poll(&p, 1, 0) == 1 && (p.revents & POLLOUT);
}

} // namespace

bool writeAll(int fd, std::string_view bytes) {
  return writeFully(FileIO::posix(), fd, bytes.data(), bytes.size()) == bytes.size();
}

void log(std::string_view message) {
  if (!writable()) {
    dropped.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  std::string line;
  if (uint64_t lost = dropped.exchange(0, std::memory_order_relaxed))
    line.append("[audio] ")
        .append(std::to_string(lost))
        .append(" line(s) dropped: standard error was full\n");
  line.append("[audio] ").append(message).push_back('\n');
  (void)writeAll(STDERR_FILENO, line);
}

} // namespace va
