#pragma once

// Every platform interface over one audio-server connection.

#include "platform/mic_io.h"
#include "platform/pipewire/host.h"
#include "platform/system_info.h"
#include "platform/tap_io.h"

#include <memory>
#include <mutex>

namespace va::pw {

class CaptureStream;

class Inputs final : public InputDeviceProvider {
public:
  explicit Inputs(std::shared_ptr<Host> host) : host_(std::move(host)) {}
  std::vector<InputDevice> inputs() override { return inputDevices(host_->snapshot()); }
  std::optional<uint32_t> defaultInputID() override {
    return pw::defaultInputID(host_->snapshot());
  }

private:
  const std::shared_ptr<Host> host_;
};

class Applications final : public ApplicationProvider {
public:
  explicit Applications(std::shared_ptr<Host> host) : host_(std::move(host)) {}
  std::vector<RunningApplication> runningApplications() override {
    return applications(host_->snapshot(), host_->ownPid());
  }

private:
  const std::shared_ptr<Host> host_;
};

class Processes final : public ProcessObjectProvider {
public:
  explicit Processes(std::shared_ptr<Host> host) : host_(std::move(host)) {}
  std::vector<AudioProcessInfo> processes() override {
    return audioProcesses(host_->snapshot(), host_->ownPid());
  }

private:
  const std::shared_ptr<Host> host_;
};

class Outputs final : public OutputDeviceProvider {
public:
  explicit Outputs(std::shared_ptr<Host> host) : host_(std::move(host)) {}
  OutputDeviceInfo defaultOutput() override { return pw::defaultOutput(host_->snapshot()); }

private:
  const std::shared_ptr<Host> host_;
};

// No system-wide microphone grant outside sandboxes: granted while the server accepts us.
class MicPermission final : public MicAuthorization {
public:
  explicit MicPermission(std::shared_ptr<Host> host) : host_(std::move(host)) {}
  std::string status() override;
  // Connects if need be; answers once a server accepts or refuses us, however long that takes.
  void request(std::function<void(bool granted)> done) override;

private:
  const std::shared_ptr<Host> host_;
};

class System final : public SystemInfo {
public:
  explicit System(std::shared_ptr<Host> host) : host_(std::move(host)) {}
  std::string osVersion() override;
  // A server that can make links for us is reachable.
  bool systemAudioAvailable() override;

private:
  const std::shared_ptr<Host> host_;
};

// Input from one source node: our capture stream at the source's rate and channel layout,
// linked port by port, each block averaged to mono.
class MicInput final : public MicIO {
public:
  explicit MicInput(std::shared_ptr<Host> host);
  ~MicInput() override;
  std::expected<void, CaptureError> start(const InputDevice& device,
                                          BlockDelivery delivery) override;
  void stop() override;
  bool isRunning() const override;
  void setRepairReport(RepairReport report) override { repaired_ = std::move(report); }

private:
  const std::shared_ptr<Host> host_;
  std::unique_ptr<CaptureStream> stream_;
  RepairReport repaired_; // strategy queue; copied into each start
  mutable std::mutex mutex_;
  bool running_ = false;
};

// The mixed output of a set of clients: one stereo capture stream, always processing, with
// links from every playback stream of every tapped client.
class Tap final : public TapIO {
public:
  explicit Tap(std::shared_ptr<Host> host);
  ~Tap() override;
  bool running() const override;
  std::expected<void, CaptureError> start(const std::vector<uint32_t>& processes,
                                          BlockDelivery deliver, FormatReport onFormat) override;
  void update(const std::vector<uint32_t>& processes) override;
  void stop() override;
  void setRepairReport(RepairReport report) override { repaired_ = std::move(report); }

private:
  struct Session;
  const std::shared_ptr<Host> host_;
  std::unique_ptr<CaptureStream> stream_;
  RepairReport repaired_; // strategy queue; copied into each start
  mutable std::mutex mutex_;
  bool running_ = false;
};

// The default output's monitor: one stereo capture stream linked to the monitor ports of
// whatever sink is the default, re-linked when the default changes.
class OutputMonitor final : public OutputMonitorIO {
public:
  explicit OutputMonitor(std::shared_ptr<Host> host);
  ~OutputMonitor() override;
  std::expected<void, CaptureError>
  start(BlockDelivery deliver, std::function<void(const OutputDeviceInfo&)> outputChanged) override;
  void stop() override;

private:
  const std::shared_ptr<Host> host_;
  std::unique_ptr<CaptureStream> stream_;
};

// A tap over the host when a server was reached, else one that refuses every start.
std::unique_ptr<TapIO> makeTap(const std::shared_ptr<Host>& host);

} // namespace va::pw
