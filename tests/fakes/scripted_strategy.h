#pragma once

#include "capture/audio_sink.h"
#include "capture/capture_strategy.h"

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace va::testing_support {

// Every call of the strategies of one test, in order: "mic.start", "remote.stop", ...
struct CallJournal {
  void add(std::string call) {
    std::lock_guard lock(mutex);
    list.push_back(std::move(call));
  }
  std::vector<std::string> calls() const {
    std::lock_guard lock(mutex);
    return list;
  }
  mutable std::mutex mutex;
  std::vector<std::string> list;
};

// A strategy that journals its calls. A successful start writes one second of 16 kHz silence
// to the sink (so the track has an open segment); `startError` makes start fail instead, and
// `onStop` runs inside stop() (to block it, for example).
class ScriptedStrategy final : public CaptureStrategy {
public:
  ScriptedStrategy(std::string name, std::shared_ptr<CallJournal> journal,
                   std::optional<std::string> startError = std::nullopt,
                   std::function<void()> onStop = {})
      : name_(std::move(name)), journal_(std::move(journal)), startError_(std::move(startError)),
        onStop_(std::move(onStop)) {}

  std::expected<void, CaptureError> start(std::shared_ptr<AudioSink> sink,
                                          std::shared_ptr<EventLog>) override {
    journal_->add(name_ + ".start");
    if (startError_)
      return std::unexpected(CaptureError{*startError_});
    std::vector<float> second(16000, 0.0f);
    sink->write(second, 16000, 1'000'000'000);
    return {};
  }
  void stop() override {
    journal_->add(name_ + ".stop");
    if (onStop_)
      onStop_();
  }
  void addStartedFields(Json fields) override {
    journal_->add(name_ + ".fields " + fields.dump());
  }

private:
  const std::string name_;
  const std::shared_ptr<CallJournal> journal_;
  const std::optional<std::string> startError_;
  const std::function<void()> onStop_;
};

} // namespace va::testing_support
