#pragma once

#include "platform/capture_error.h"
#include "platform/input_device.h"

#include <expected>
#include <functional>
#include <span>

namespace va {

// Mono samples, their rate in Hz, and the monotonic time of the first sample in nanoseconds.
using BlockDelivery = std::function<void(std::span<const float>, double rate, uint64_t timeNs)>;

// One device's input. start() and stop() come from the owning strategy's queue; `delivery` runs
// on the platform's I/O thread, one block at a time, and must not block.
class MicIO {
public:
  virtual ~MicIO() = default;
  // Stops any running input first.
  virtual std::expected<void, CaptureError> start(const InputDevice& device,
                                                  BlockDelivery delivery) = 0;
  // Harmless when nothing runs. After it returns, `delivery` is not called again.
  virtual void stop() = 0;
  virtual bool isRunning() const = 0;
};

namespace MicDeviceResolver {

// With a uid: the first listed device with exactly that uid. Without: the listed default input.
std::optional<InputDevice> resolve(const std::optional<std::string>& uid,
                                   InputDeviceProvider& devices);

} // namespace MicDeviceResolver

} // namespace va
