#pragma once

#include "platform/input_device.h"
#include "platform/mic_io.h"
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

// Device input that records its calls; tests feed audio through deliver().
class FakeMicIO final : public MicIO {
public:
  std::expected<void, CaptureError> start(const InputDevice& device,
                                          BlockDelivery delivery) override {
    std::lock_guard lock(mutex);
    running = false;
    started.push_back(device);
    if (failWith)
      return std::unexpected(CaptureError{*failWith});
    running = true;
    delivery_ = std::move(delivery);
    return {};
  }
  void stop() override {
    std::lock_guard lock(mutex);
    ++stops;
    running = false;
    delivery_ = nullptr;
  }
  bool isRunning() const override {
    std::lock_guard lock(mutex);
    return running;
  }
  // One block from the running device; nothing when none runs.
  void deliver(size_t frames, double rate, uint64_t timeNs) {
    BlockDelivery delivery;
    {
      std::lock_guard lock(mutex);
      delivery = delivery_;
    }
    std::vector<float> block(frames, 0.25f);
    if (delivery)
      delivery(block, rate, timeNs);
  }

  mutable std::mutex mutex;
  std::vector<InputDevice> started; // every start, failed ones too
  int stops = 0;
  bool running = false;
  std::optional<std::string> failWith; // while set, every start fails with it

private:
  BlockDelivery delivery_;
};

} // namespace va::fakes
