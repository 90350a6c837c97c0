#pragma once

#include "platform/input_device.h"
#include "platform/mic_io.h"
#include "platform/system_info.h"
#include "platform/tap_io.h"

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

class FakeProcesses final : public ProcessObjectProvider {
public:
  std::vector<AudioProcessInfo> processes() override {
    std::lock_guard lock(mutex);
    ++reads;
    return list;
  }
  std::mutex mutex;
  std::vector<AudioProcessInfo> list;
  int reads = 0;
};

class FakeOutputDevices final : public OutputDeviceProvider {
public:
  OutputDeviceInfo defaultOutput() override {
    std::lock_guard lock(mutex);
    return device;
  }
  std::mutex mutex;
  OutputDeviceInfo device;
};

// A tap that records its calls; tests feed audio through deliver() and reports through report().
class FakeTap final : public TapIO {
public:
  bool running() const override {
    std::lock_guard lock(mutex);
    return running_;
  }
  std::expected<void, CaptureError> start(const std::vector<uint32_t>& processes,
                                          BlockDelivery deliver, FormatReport onFormat) override {
    FormatReport report;
    {
      std::lock_guard lock(mutex);
      starts.push_back(processes);
      if (failWith)
        return std::unexpected(CaptureError{*failWith});
      running_ = true;
      deliver_ = std::move(deliver);
      onFormat_ = std::move(onFormat);
      report = onFormat_;
    }
    // Like the real tap: the negotiated format is reported as the tap starts.
    report(Json{{"reason", "start"}});
    return {};
  }
  void update(const std::vector<uint32_t>& processes) override {
    std::lock_guard lock(mutex);
    updates.push_back(processes);
  }
  void stop() override {
    std::lock_guard lock(mutex);
    ++stops;
    running_ = false;
    deliver_ = nullptr;
    onFormat_ = nullptr;
  }
  // Both run the callback under the lock, so that none runs once stop() has returned.
  void deliver(size_t frames, double rate, uint64_t timeNs) {
    std::vector<float> block(frames, 0.25f);
    std::lock_guard lock(mutex);
    if (deliver_)
      deliver_(block, rate, timeNs);
  }
  void report(const Json& fields) {
    std::lock_guard lock(mutex);
    if (onFormat_)
      onFormat_(fields);
  }

  mutable std::mutex mutex;
  std::vector<std::vector<uint32_t>> starts; // failed ones too
  std::vector<std::vector<uint32_t>> updates;
  int stops = 0;
  std::optional<std::string> failWith; // while set, every start fails with it

private:
  bool running_ = false;
  BlockDelivery deliver_;
  FormatReport onFormat_;
};

} // namespace va::fakes
