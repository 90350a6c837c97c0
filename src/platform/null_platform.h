#pragma once

#include "platform/input_device.h"
#include "platform/system_info.h"
#include "platform/tap_io.h"

namespace va {

// Providers for a build or a machine without an audio server: they report only what is known.

class NoInputDevices final : public InputDeviceProvider {
public:
  std::vector<InputDevice> inputs() override { return {}; }
  std::optional<uint32_t> defaultInputID() override { return std::nullopt; }
};

class NoApplications final : public ApplicationProvider {
public:
  std::vector<RunningApplication> runningApplications() override { return {}; }
};

class NoProcesses final : public ProcessObjectProvider {
public:
  std::vector<AudioProcessInfo> processes() override { return {}; }
};

class NoOutputDevices final : public OutputDeviceProvider {
public:
  OutputDeviceInfo defaultOutput() override { return {}; }
};

// No permission system has been reached: "not_determined", and requests are not granted.
class UndeterminedMicAuthorization final : public MicAuthorization {
public:
  std::string status() override { return "not_determined"; }
  void request(std::function<void(bool)> done) override { done(false); }
};

// The kernel release from uname(2); system audio capture is not available.
class KernelSystemInfo final : public SystemInfo {
public:
  std::string osVersion() override;
  bool systemAudioAvailable() override { return false; }
};

} // namespace va
