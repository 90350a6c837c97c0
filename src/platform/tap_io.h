#pragma once

#include "core/json.h"
#include "platform/capture_error.h"
#include "platform/mic_io.h"

#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace va {

// A process that plays or records audio.
struct AudioProcessInfo {
  uint32_t objectID = 0; // the platform's object id (PipeWire: the client's object.serial)
  int32_t pid = 0;
  std::string bundleID; // the application identity; empty when it has none
  bool runningOutput = false;
  bool runningInput = false;
  bool operator==(const AudioProcessInfo&) const = default;
};

// Lists audio processes, never this one. Thread-safe.
class ProcessObjectProvider {
public:
  virtual ~ProcessObjectProvider() = default;
  virtual std::vector<AudioProcessInfo> processes() = 0;
};

// The system's default output device, as far as it can be read.
struct OutputDeviceInfo {
  std::optional<std::string> uid;
  std::optional<std::string> name;
  std::optional<double> nominalSampleRate; // Hz
  bool operator==(const OutputDeviceInfo&) const = default;
  // {"uid", "name", "nominalSampleRate"}, null for what is unknown.
  Json json() const {
    auto orNull = [](const auto& value) { return value ? Json(*value) : Json(nullptr); };
    return {{"uid", orNull(uid)},
            {"name", orNull(name)},
            {"nominalSampleRate", orNull(nominalSampleRate)}};
  }
};

// Thread-safe.
class OutputDeviceProvider {
public:
  virtual ~OutputDeviceProvider() = default;
  // All fields empty when there is no default output.
  virtual OutputDeviceInfo defaultOutput() = 0;
};

// Format and rate reports of a tap: string-keyed JSON objects.
using FormatReport = std::function<void(const Json&)>;

// Records the mixed output of a set of processes as mono blocks. start/update/stop come from
// the owning strategy's queue; `deliver` and `onFormat` may be called from any thread.
class TapIO {
public:
  virtual ~TapIO() = default;
  virtual bool running() const = 0;
  virtual std::expected<void, CaptureError> start(const std::vector<uint32_t>& processes,
                                                  BlockDelivery deliver, FormatReport onFormat) = 0;
  // Changes the tapped set without a restart; a failure is only logged.
  virtual void update(const std::vector<uint32_t>& processes) = 0;
  // Safe when nothing runs. After it returns, neither callback is called again.
  virtual void stop() = 0;
  // Where repairs of the tap's paths are reported; set before start(). Default: nowhere.
  virtual void setRepairReport(RepairReport report) { (void)report; }
};

// What the default output plays (its monitor), as mono blocks, following the default output as
// it changes: the echo canceller's reference. start() and stop() from one owner's thread;
// `deliver` from any thread, never after stop() returns.
class OutputMonitorIO {
public:
  virtual ~OutputMonitorIO() = default;
  // Fails when there is no default output or it cannot be recorded. `outputChanged` is told the
  // new default output each time it moves (from any thread) and the monitor follows it.
  virtual std::expected<void, CaptureError>
  start(BlockDelivery deliver, std::function<void(const OutputDeviceInfo&)> outputChanged) = 0;
  virtual void stop() = 0;
};

// Stands in where no tap can be made: every start fails with the given description.
class UnavailableTap final : public TapIO {
public:
  explicit UnavailableTap(std::string description) : description_(std::move(description)) {}
  bool running() const override { return false; }
  std::expected<void, CaptureError> start(const std::vector<uint32_t>&, BlockDelivery,
                                          FormatReport) override {
    return std::unexpected(CaptureError{description_});
  }
  void update(const std::vector<uint32_t>&) override {}
  void stop() override {}

private:
  const std::string description_;
};

} // namespace va
