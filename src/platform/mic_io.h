#pragma once

#include "platform/capture_error.h"
#include "platform/input_device.h"

#include <expected>
#include <functional>
#include <span>

namespace va {

// Mono samples, their rate in Hz, and the monotonic time of the first sample in nanoseconds.
using BlockDelivery = std::function<void(std::span<const float>, double rate, uint64_t timeNs)>;

// A path from the audio server that delivered nothing while its source played, repaired: the
// seconds of audio lost and why ("no_data", "not_scheduled"). Called on the platform's thread.
using RepairReport = std::function<void(double lostS, const std::string& reason)>;

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
  // Where repairs of the input's path are reported; set before start(). Default: nowhere.
  virtual void setRepairReport(RepairReport report) { (void)report; }
};

namespace MicDeviceResolver {

// With a uid: the first listed device with exactly that uid. Without: the listed default input.
std::optional<InputDevice> resolve(const std::optional<std::string>& uid,
                                   InputDeviceProvider& devices);

} // namespace MicDeviceResolver

} // namespace va
