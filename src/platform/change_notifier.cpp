#include "platform/change_notifier.h"

#include <algorithm>
#include <atomic>

namespace va {

struct ListenerRegistry::Entry {
  ChangeSubject subject;
  std::weak_ptr<TaskQueue> queue;
  std::function<void()> handler;
  std::atomic<bool> active{true};
};

namespace {

class RegisteredListener final : public ChangeListener {
public:
  RegisteredListener(std::shared_ptr<ListenerRegistry::Entry> entry,
                     std::function<void(const ListenerRegistry::Entry*)> remove)
      : entry_(std::move(entry)), remove_(std::move(remove)) {}
  ~RegisteredListener() override { cancel(); }

  void cancel() override;
  bool active() const override;

private:
  std::shared_ptr<ListenerRegistry::Entry> entry_;
  std::function<void(const ListenerRegistry::Entry*)> remove_;
};

} // namespace

void RegisteredListener::cancel() {
  if (!entry_->active.exchange(false))
    return;
  remove_(entry_.get());
}

bool RegisteredListener::active() const {
  return entry_->active.load();
}

std::unique_ptr<ChangeListener> ListenerRegistry::listen(ChangeSubject subject,
                                                         std::shared_ptr<TaskQueue> queue,
                                                         std::function<void()> handler) {
  if (!queue || !handler)
    return nullptr;
  auto entry = std::make_shared<Entry>();
  entry->subject = subject;
  entry->queue = queue;
  entry->handler = std::move(handler);
  {
    std::lock_guard lock(mutex_);
    entries_.push_back(entry);
  }
  std::weak_ptr<ListenerRegistry> self = weak_from_this();
  return std::make_unique<RegisteredListener>(entry, [self](const Entry* e) {
    if (auto registry = self.lock())
      registry->remove(e);
  });
}

void ListenerRegistry::remove(const Entry* entry) {
  std::lock_guard lock(mutex_);
  std::erase_if(entries_, [entry](const auto& e) { return e.get() == entry; });
}

void ListenerRegistry::notify(ChangeSubject subject) {
  std::vector<std::shared_ptr<Entry>> matching;
  {
    std::lock_guard lock(mutex_);
    for (const auto& entry : entries_)
      if (entry->subject == subject)
        matching.push_back(entry);
  }
  for (const auto& entry : matching) {
    auto queue = entry->queue.lock();
    if (!queue)
      continue;
    // The flag is read again on the queue: a cancel that ran there first wins.
    queue->async([entry] {
      if (entry->active.load())
        entry->handler();
    });
  }
}

size_t ListenerRegistry::count() const {
  std::lock_guard lock(mutex_);
  return entries_.size();
}

} // namespace va
