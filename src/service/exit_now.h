#pragma once

#include <unistd.h>

#ifdef VA_COVERAGE
extern "C" void __gcov_dump(void);
#endif

namespace va {

// Ends the process at once: no static destructors (other threads may still be using what they
// would destroy), no atexit handlers. A coverage build writes its counters first.
[[noreturn]] inline void exitNow(int status) {
#ifdef VA_COVERAGE
  __gcov_dump();
#endif
  _exit(status);
}

} // namespace va
