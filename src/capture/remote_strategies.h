#pragma once

#include "capture/capture_strategy.h"
#include "capture/process_match.h"
#include "core/clock.h"

#include <expected>
#include <functional>
#include <memory>
#include <string>

namespace va {

// A strategy that cannot record here: start() fails with its description, stop() does nothing.
class UnavailableStrategy final : public CaptureStrategy {
public:
  explicit UnavailableStrategy(std::string description) : description_(std::move(description)) {}
  std::expected<void, CaptureError> start(std::shared_ptr<AudioSink>,
                                          std::shared_ptr<EventLog>) override {
    return std::unexpected(CaptureError{description_});
  }
  void stop() override {}

private:
  const std::string description_;
};

namespace RemoteStrategies {

enum class Refusal { unsupported };

// Builds the application-following strategy for a match over this platform.
using ProcessTapFactory = std::function<std::shared_ptr<CaptureStrategy>(const ProcessMatch&)>;

// The remote track's strategy for a name: "process-tap" from `processTap`; "test-tone" where the
// test strategies are enabled; any other name is refused.
std::expected<std::shared_ptr<CaptureStrategy>, Refusal> make(const std::string& name,
                                                              const ProcessMatch& match,
                                                              std::shared_ptr<const Clock> clock,
                                                              const ProcessTapFactory& processTap);

} // namespace RemoteStrategies

} // namespace va
