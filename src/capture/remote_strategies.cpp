#include "capture/remote_strategies.h"

#include "capture/test_tone_strategy.h"

namespace va::RemoteStrategies {

std::expected<std::shared_ptr<CaptureStrategy>, Refusal> make(const std::string& name,
                                                              const ProcessMatch& match,
                                                              std::shared_ptr<const Clock> clock,
                                                              const ProcessTapFactory& processTap) {
  if (name == "process-tap" && processTap)
    return processTap(match);
  if (name == "test-tone" && TestToneStrategy::enabled())
    return std::make_shared<TestToneStrategy>(std::move(clock));
  return std::unexpected(Refusal::unsupported);
}

} // namespace va::RemoteStrategies
