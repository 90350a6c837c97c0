#pragma once

#include <functional>
#include <memory>
#include <sys/types.h>

namespace asio {
class io_context;
}

namespace va {

// Watches the parent process and runs `onExit` on `loop` when it exits. A parent already gone
// when the watch starts is reported too (as soon as the loop runs). The watch lives as long as
// the returned object; `onExit` may run more than once, so it must end the process.
class ParentWatch {
public:
  static std::unique_ptr<ParentWatch> start(pid_t pid, asio::io_context& loop,
                                            std::function<void()> onExit);
  virtual ~ParentWatch() = default;
};

} // namespace va
