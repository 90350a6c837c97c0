#pragma once

#include "platform/input_device.h"
#include "platform/system_info.h"

#include <mutex>

namespace va::fakes {

class FakeInputDevices final : public InputDeviceProvider {
public:
  std::vector<InputDevice> inputs() override {
    std::lock_guard lock(mutex);
    return devices;
  }
  std::optional<uint32_t> defaultInputID() override {
    std::lock_guard lock(mutex);
    return defaultID;
  }
  std::mutex mutex;
  std::vector<InputDevice> devices;
  std::optional<uint32_t> defaultID;
};

class FakeApplications final : public ApplicationProvider {
public:
  std::vector<RunningApplication> runningApplications() override {
    std::lock_guard lock(mutex);
    return apps;
  }
  std::mutex mutex;
  std::vector<RunningApplication> apps;
};

class FakeSystemInfo final : public SystemInfo {
public:
  std::string osVersion() override { return version; }
  bool systemAudioAvailable() override { return systemAudio; }
  std::string version = "6.1.0";
  bool systemAudio = true;
};

class FakeMicAuthorization final : public MicAuthorization {
public:
  std::string status() override {
    std::lock_guard lock(mutex);
    return word;
  }
  void request(std::function<void(bool)> done) override {
    bool grant;
    {
      std::lock_guard lock(mutex);
      ++requests;
      grant = grantOnRequest;
      if (grant)
        word = "granted";
    }
    done(grant);
  }
  std::mutex mutex;
  std::string word = "not_determined";
  bool grantOnRequest = true;
  int requests = 0;
};

} // namespace va::fakes
