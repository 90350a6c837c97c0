#pragma once

#include "core/json.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace va {

// One usable audio input.
struct InputDevice {
  uint32_t id = 0;           // the platform's object id (PipeWire: the node's object.serial)
  std::string uid;           // persistent id (PipeWire: node.name)
  std::string name;          // display name; the uid when there is none
  std::string transport;     // "usb", "bluetooth", "built-in", "virtual", ...
  double nominalRate = 0;    // Hz; 0 when unknown
  int64_t inputChannels = 1; // at least 1 for a listed device

  bool operator==(const InputDevice&) const = default;
  // {"id","uid","name","transport","nominalSampleRate","inputChannels"}
  Json json() const;
};

// Lists input devices. Called from strategy queues and request threads; implementations are
// thread-safe.
class InputDeviceProvider {
public:
  virtual ~InputDeviceProvider() = default;
  // In the platform's device order.
  virtual std::vector<InputDevice> inputs() = 0;
  // The system default input's id; nothing when there is none or it cannot be read.
  virtual std::optional<uint32_t> defaultInputID() = 0;
};

// The microphone permission. status() is one of "granted", "denied", "restricted",
// "not_determined". request() asks for access and calls back once, on any thread.
class MicAuthorization {
public:
  virtual ~MicAuthorization() = default;
  virtual std::string status() = 0;
  virtual void request(std::function<void(bool granted)> done) = 0;
};

} // namespace va
