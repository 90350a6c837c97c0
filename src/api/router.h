#pragma once

#include "api/root.h"
#include "capture/captures.h"
#include "decode/decode_file.h"
#include "http/server.h"
#include "platform/capture_permissions.h"
#include "platform/input_device.h"
#include "platform/system_info.h"
#include "platform/tap_io.h"

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>

namespace va {

// What the status endpoints read from the platform.
struct RouterPlatform {
  std::shared_ptr<InputDeviceProvider> devices;
  std::shared_ptr<ApplicationProvider> applications;

  std::shared_ptr<SystemInfo> system;
  std::shared_ptr<MicAuthorization> mic;
  std::shared_ptr<ProcessObjectProvider> processes = nullptr; // who plays now; none: nobody
  CapturePermissions* permissions = &CapturePermissions::shared();
};

// Turns one authorized request into one response. Safe to call from many threads at once; the
// events endpoint and decodes block their caller. Its state: the decodes running and the
// directories of the captures it made.
class Router final : public RequestHandler {
public:
  using MicStatus = std::function<std::string()>;

  // `root` is opened once, at start-up; with none, every path is refused. `micStatus` defaults
  // to the platform's MicAuthorization status. At most `maxDecodes` decodes run at once.
  Router(std::string version, std::shared_ptr<const Root> root, RouterPlatform platform,
         std::shared_ptr<Captures> captures, MicStatus micStatus = {},
         size_t maxDecodes = Decode::kMaxConcurrent);

  HTTPResponse handle(const HTTPRequest& request) override;
  bool answersAtOnce(const HTTPRequest& request) const override; // health, levels

private:
  HTTPResponse health() const;
  HTTPResponse capabilities() const;
  HTTPResponse permissions() const;
  HTTPResponse sources() const;
  HTTPResponse listCaptures() const;
  HTTPResponse createCapture(const std::string& body);
  HTTPResponse stopCapture(const std::string& id);
  HTTPResponse events(const std::string& id, const std::map<std::string, std::string>& query);
  // Never waits for a strategy or a sink: the levels are published as the tracks write.
  HTTPResponse levels(const std::string& id) const;
  HTTPResponse decode(const std::string& body);
  // Whether the output's directory, or one above it below the root, is the directory of a
  // capture that records (compared by identity, whatever it is called now); nothing when a
  // descriptor could not be had.
  std::optional<bool> intoRecording(const ConfinedPath& output);
  // Bytes the recording tracks write in the next minute.
  uint64_t recordingMinuteBytes() const;

  const std::string version_;
  const std::shared_ptr<const Root> root_;
  const RouterPlatform platform_;
  const std::shared_ptr<Captures> captures_;
  const MicStatus micStatus_;
  const size_t maxDecodes_;
  std::atomic<size_t> decodes_{0};
};

} // namespace va
