#pragma once

#include "capture/captures.h"
#include "http/server.h"
#include "platform/capture_permissions.h"
#include "platform/input_device.h"
#include "platform/system_info.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace va {

// What the status endpoints read from the platform.
struct RouterPlatform {
  std::shared_ptr<InputDeviceProvider> devices;
  std::shared_ptr<ApplicationProvider> applications;
  std::shared_ptr<SystemInfo> system;
  std::shared_ptr<MicAuthorization> mic;
  CapturePermissions* permissions = &CapturePermissions::shared();
};

// Turns one authorized request into one response. Stateless after construction and safe to
// call from many threads at once; the events endpoint blocks its caller.
class Router final : public RequestHandler {
public:
  using MicStatus = std::function<std::string()>;

  // `micStatus` defaults to the platform's MicAuthorization status.
  Router(std::string version, std::optional<std::string> root, RouterPlatform platform,
         std::shared_ptr<Captures> captures, MicStatus micStatus = {});

  HTTPResponse handle(const HTTPRequest& request) override;
  bool answersAtOnce(const HTTPRequest& request) const override; // health, levels

private:
  HTTPResponse health() const;
  HTTPResponse capabilities() const;
  HTTPResponse permissions() const;
  HTTPResponse sources() const;
  HTTPResponse createCapture(const std::string& body);
  HTTPResponse stopCapture(const std::string& id);
  HTTPResponse events(const std::string& id, const std::map<std::string, std::string>& query);
  // Never waits for a strategy or a sink: the levels are published as the tracks write.
  HTTPResponse levels(const std::string& id) const;
  HTTPResponse decode(const std::string& body);

  const std::string version_;
  const std::optional<std::string> root_;
  const RouterPlatform platform_;
  const std::shared_ptr<Captures> captures_;
  const MicStatus micStatus_;
};

} // namespace va
