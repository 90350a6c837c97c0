#include "core/serial_queue.h"

#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <cassert>
#include <condition_variable>
#include <mutex>
#include <pthread.h>
#include <thread>

namespace va {

void TimerHandle::cancel() const {
  if (!state_)
    return;
  if (!state_->cancelled.exchange(true, std::memory_order_acq_rel) && state_->onCancel)
    state_->onCancel();
}

struct SerialQueue::Impl {
  std::string label;
  asio::io_context io{1};
  asio::executor_work_guard<asio::io_context::executor_type> guard{io.get_executor()};
  std::thread thread;
  std::mutex shutdownMutex;
  std::atomic<bool> stopped{false};
  std::atomic<std::thread::id> threadId{};
};

namespace {

std::string threadName(const std::string& label) {
  constexpr std::string_view kPrefix = "velmorrant-audio.";
  std::string name = label.starts_with(kPrefix) ? label.substr(kPrefix.size()) : label;
  return name.substr(0, 15); // the kernel's limit
}

// Arms `timer` for `at`; on expiry runs `task` unless cancelled, then re-arms if `period` > 0.
void arm(std::shared_ptr<asio::steady_timer> timer, std::shared_ptr<TimerHandle::State> state,
         std::shared_ptr<Task> task, std::chrono::steady_clock::time_point at,
         std::chrono::nanoseconds period) {
  timer->expires_at(at);
  timer->async_wait([timer, state, task, at, period](const std::error_code& ec) {
    if (ec || state->cancelled.load(std::memory_order_acquire))
      return;
    (*task)();
    if (period.count() <= 0 || state->cancelled.load(std::memory_order_acquire))
      return;
    auto next = at + period;
    auto now = std::chrono::steady_clock::now();
    if (next <= now) // coalesce missed firings, keeping the grid's phase
      next += period * ((now - next) / period + 1);
    arm(timer, state, task, next, period);
  });
}

} // namespace

TimerHandle SerialQueue::schedule(std::chrono::nanoseconds delay, std::chrono::nanoseconds period,
                                  Task task) {
  asio::io_context& io = impl_->io;
  auto state = std::make_shared<TimerHandle::State>();
  auto timer = std::make_shared<asio::steady_timer>(io);
  std::weak_ptr<asio::steady_timer> weakTimer = timer;
  std::weak_ptr<Impl> weakImpl = impl_;
  // The timer is touched only on the queue's thread; cancel() from elsewhere posts there, and
  // does nothing once the queue is gone.
  state->onCancel = [weakImpl, weakTimer] {
    if (auto impl = weakImpl.lock())
      asio::post(impl->io, [weakTimer] {
        if (auto t = weakTimer.lock())
          t->cancel();
      });
  };
  auto at = std::chrono::steady_clock::now() + delay;
  auto shared = std::make_shared<Task>(std::move(task));
  asio::post(io, [timer, state, shared, at, period] { arm(timer, state, shared, at, period); });
  return TimerHandle(state);
}

SerialQueue::SerialQueue(Unstarted, std::string label) : impl_(std::make_shared<Impl>()) {
  impl_->label = std::move(label);
}

SerialQueue::SerialQueue(std::string label) : SerialQueue(Unstarted{}, std::move(label)) {
  if (std::error_code error = start())
    throw std::system_error(error, "no thread for " + impl_->label);
}

std::expected<std::shared_ptr<SerialQueue>, std::error_code> SerialQueue::make(std::string label) {
  std::shared_ptr<SerialQueue> queue(new SerialQueue(Unstarted{}, std::move(label)));
  if (std::error_code error = queue->start())
    return std::unexpected(error);
  return queue;
}

std::error_code SerialQueue::start() {
  std::string name = threadName(impl_->label);
  // The thread keeps the Impl alive, so a destructor running on this very thread is safe.
  try {
    impl_->thread = std::thread([impl = impl_, name] {
      pthread_setname_np(pthread_self(), name.c_str());
      impl->io.run();
    });
  } catch (const std::system_error& e) {
    return e.code(); // a queue that never started: shutdown() has nothing to join
  }
  impl_->threadId.store(impl_->thread.get_id());
  return {};
}

SerialQueue::~SerialQueue() {
  shutdown();
}

void SerialQueue::shutdown() {
  std::lock_guard lock(impl_->shutdownMutex);
  if (!impl_->thread.joinable())
    return;
  impl_->stopped.store(true);
  impl_->guard.reset();
  impl_->io.stop();
  if (isCurrent())
    impl_->thread.detach();
  else
    impl_->thread.join();
}

const std::string& SerialQueue::label() const {
  return impl_->label;
}

void SerialQueue::async(Task task) {
  asio::post(impl_->io, std::move(task));
}

void SerialQueue::sync(Task task) {
  assert(!isCurrent() && "sync() on the queue's own thread would deadlock");
  if (impl_->stopped.load()) // nothing runs on a stopped queue
    return;
  struct Done {
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;
  };
  auto done = std::make_shared<Done>();
  // Marks completion when the posted work is destroyed: after it ran, or dropped unrun because
  // the queue stopped. Either way the caller is released.
  struct Signal {
    std::shared_ptr<Done> done;
    ~Signal() {
      if (!done)
        return;
      std::lock_guard lock(done->mutex);
      done->done = true;
      done->cv.notify_all();
    }
    Signal(std::shared_ptr<Done> d) : done(std::move(d)) {}
    Signal(Signal&& other) noexcept : done(std::move(other.done)) {}
  };
  asio::post(impl_->io, [task = std::move(task), signal = Signal(done)]() mutable { task(); });
  std::unique_lock lock(done->mutex);
  done->cv.wait(lock, [&] { return done->done; });
}

TimerHandle SerialQueue::after(std::chrono::nanoseconds delay, Task task) {
  return schedule(delay, std::chrono::nanoseconds(0), std::move(task));
}

TimerHandle SerialQueue::every(std::chrono::nanoseconds period, Task task) {
  return schedule(period, period, std::move(task));
}

bool SerialQueue::isCurrent() const {
  return std::this_thread::get_id() == impl_->threadId.load();
}

asio::io_context& SerialQueue::context() {
  return impl_->io;
}

} // namespace va
