#pragma once

#include "core/task_queue.h"

#include <expected>
#include <memory>
#include <string>
#include <system_error>

namespace asio {
class io_context;
}

namespace va {

// One thread running one asio::io_context. The label names the queue's role
// ("velmorrant-audio.server", "velmorrant-audio.sink.mic", ...); the thread carries its tail.
// Destroying the queue stops the thread: work not yet run is dropped. The destructor may run on
// the queue's own thread (the last owner released there); the thread then winds down by itself.
class SerialQueue final : public TaskQueue {
public:
  // Throws std::system_error when no thread can be had; make() is the same as a value.
  explicit SerialQueue(std::string label);
  // A started queue, or the reason no thread could be made (EAGAIN under a process limit).
  static std::expected<std::shared_ptr<SerialQueue>, std::error_code> make(std::string label);
  ~SerialQueue() override;
  SerialQueue(const SerialQueue&) = delete;
  SerialQueue& operator=(const SerialQueue&) = delete;

  const std::string& label() const override;
  void async(Task task) override;
  void sync(Task task) override;
  TimerHandle after(std::chrono::nanoseconds delay, Task task) override;
  TimerHandle every(std::chrono::nanoseconds period, Task task) override;
  bool isCurrent() const override;

  // Stops the thread and waits for it (unless called on it); work not yet run is dropped, and
  // work submitted afterwards never runs. The io_context stays valid until destruction.
  // Idempotent; the destructor calls it.
  void shutdown();

  // For I/O objects (sockets, timers) whose handlers must run on this queue.
  asio::io_context& context();

  struct Impl;

private:
  struct Unstarted {};
  SerialQueue(Unstarted, std::string label);
  std::error_code start();
  TimerHandle schedule(std::chrono::nanoseconds delay, std::chrono::nanoseconds period, Task task);

  std::shared_ptr<Impl> impl_;
};

} // namespace va
