#pragma once

#include "platform/input_device.h"
#include "platform/mic_io.h"
#include "platform/system_info.h"
#include "platform/tap_io.h"

#include <mutex>

namespace va::fakes {

// A copy of a fake's field, taken under its lock: the code under test reads on any thread.
template <class T> T locked(std::mutex& mutex, const T& field) {
  std::lock_guard lock(mutex);
  return field;
}

class FakeInputDevices final : public InputDeviceProvider {
public:
  std::vector<InputDevice> inputs() override { return locked(mutex, devices); }
  std::optional<uint32_t> defaultInputID() override { return locked(mutex, defaultID); }
  std::mutex mutex;
  std::vector<InputDevice> devices;
  std::optional<uint32_t> defaultID;
};

class FakeApplications final : public ApplicationProvider {
public:
  std::vector<RunningApplication> runningApplications() override { return locked(mutex, apps); }
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
  std::string status() override { return locked(mutex, word); }
  void request(std::function<void(bool)> done) override {
    std::unique_lock lock(mutex);
    const bool grant = grantOnRequest;
    if (grant)
      word = "granted";
    lock.unlock();
    done(grant);
  }
  std::mutex mutex;
  std::string word = "not_determined";
  bool grantOnRequest = true;
};

// What the fake device input and tap share: every start (failed ones too) and stop is kept,
// `failWith` makes starts fail while set, deliver() feeds a block of 0.25 to the running stream
// and report() sends it a format report (a tap's). The callbacks run under the lock, so that none
// runs once stop() has returned.
template <class Target> class FakeStream {
public:
  void deliver(size_t frames, double rate, uint64_t timeNs) {
    std::vector<float> block(frames, 0.25f);
    std::lock_guard lock(mutex);
    if (delivery_)
      delivery_(block, rate, timeNs);
  }
  void report(const Json& fields) {
    std::lock_guard lock(mutex);
    if (onFormat_)
      onFormat_(fields);
  }

  mutable std::mutex mutex;
  std::vector<Target> starts;
  int stops = 0;
  std::optional<std::string> failWith;

protected:
  std::expected<void, CaptureError> begin(Target target, BlockDelivery delivery,
                                          FormatReport onFormat = nullptr) {
    std::lock_guard lock(mutex);
    running_ = false;
    starts.push_back(std::move(target));
    if (failWith)
      return std::unexpected(CaptureError{*failWith});
    running_ = true;
    delivery_ = std::move(delivery);
    onFormat_ = std::move(onFormat);
    return {};
  }
  void end() {
    std::lock_guard lock(mutex);
    ++stops;
    running_ = false;
    delivery_ = nullptr;
    onFormat_ = nullptr;
  }
  bool isOn() const { return locked(mutex, running_); }

  bool running_ = false;
  BlockDelivery delivery_;
  FormatReport onFormat_;
};

class FakeMicIO final : public MicIO, public FakeStream<InputDevice> {
public:
  std::expected<void, CaptureError> start(const InputDevice& device,
                                          BlockDelivery delivery) override {
    return begin(device, std::move(delivery));
  }
  void stop() override { end(); }
  bool isRunning() const override { return isOn(); }
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
  OutputDeviceInfo defaultOutput() override { return locked(mutex, device); }
  std::mutex mutex;
  OutputDeviceInfo device;
};

// A tap that also keeps its updates.
class FakeTap final : public TapIO, public FakeStream<std::vector<uint32_t>> {
public:
  bool running() const override { return isOn(); }
  std::expected<void, CaptureError> start(const std::vector<uint32_t>& processes,
                                          BlockDelivery deliver, FormatReport onFormat) override {
    auto started = begin(processes, std::move(deliver), std::move(onFormat));
    if (started)
      report(Json{{"reason", "start"}}); // like the real tap, as it starts
    return started;
  }
  void update(const std::vector<uint32_t>& processes) override {
    std::lock_guard lock(mutex);
    updates.push_back(processes);
  }
  void stop() override { end(); }

  std::vector<std::vector<uint32_t>> updates;
};

} // namespace va::fakes
