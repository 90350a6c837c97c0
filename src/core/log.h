#pragma once

#include <string_view>

namespace va {

// Writes "[audio] " + message + "\n" to standard error as one write(2), without a lock.
// Safe from any thread; never fails or stalls the caller: while standard error is full (a
// parent that does not read it), lines are dropped, and their number goes out with the next.
void log(std::string_view message);

// Writes all of `bytes` to `fd`, retrying on EINTR and short writes. Returns false on error.
bool writeAll(int fd, std::string_view bytes);

} // namespace va
