#include "api/router.h"

#include "fakes/fake_platform.h"

#include <gtest/gtest.h>

namespace va {
namespace {

class RouterTest : public testing::Test {
protected:
  HTTPResponse call(std::string method, std::string path) {
    HTTPRequest r;
    r.method = std::move(method);
    r.path = std::move(path);
    return router_.handle(r);
  }

  std::shared_ptr<fakes::FakeInputDevices> devices_ = std::make_shared<fakes::FakeInputDevices>();
  std::shared_ptr<fakes::FakeApplications> apps_ = std::make_shared<fakes::FakeApplications>();
  std::shared_ptr<fakes::FakeSystemInfo> system_ = std::make_shared<fakes::FakeSystemInfo>();
  std::shared_ptr<fakes::FakeMicAuthorization> mic_ =
      std::make_shared<fakes::FakeMicAuthorization>();
  CapturePermissions permissions_;
  std::shared_ptr<Captures> captures_ = std::make_shared<Captures>(
      Captures::Factories{
          .micStatus = [] { return std::string("granted"); },
          .makeMic = [](std::optional<std::string>) -> std::shared_ptr<CaptureStrategy> {
            return std::make_shared<UnavailableStrategy>("no microphone here");
          },
          .makeRemote = [](const std::string&, const ProcessMatch&)
              -> std::expected<std::shared_ptr<CaptureStrategy>, RemoteStrategies::Refusal> {
            return std::unexpected(RemoteStrategies::Refusal::unsupported);
          }},
      std::make_shared<MonotonicClock>());
  Router router_{"0.1.0", "/tmp", RouterPlatform{devices_, apps_, system_, mic_, &permissions_},
                 captures_};
};

TEST_F(RouterTest, RouteTable) {
  struct Case {
    const char* method;
    const char* path;
    int64_t status;
    const char* error; // nullptr for a success
  };
  const Case cases[] = {
      {"GET", "/health", 200, nullptr},
      {"GET", "/health/", 200, nullptr},
      {"GET", "//health", 200, nullptr},
      {"GET", "health", 200, nullptr},
      {"get", "/health", 405, "method_not_allowed"},
      {"HEAD", "/health", 405, "method_not_allowed"},
      {"GET", "/captures", 405, "method_not_allowed"},
      {"DELETE", "/captures", 405, "method_not_allowed"},
      {"GET", "/decode", 405, "method_not_allowed"},
      {"POST", "/sources", 405, "method_not_allowed"},
      {"POST", "/permissions", 405, "method_not_allowed"},
      {"POST", "/capabilities", 405, "method_not_allowed"},
      {"POST", "/captures/X/events", 405, "method_not_allowed"},
      {"GET", "/captures/X/stop", 405, "method_not_allowed"},
      {"POST", "/captures/X/levels", 405, "method_not_allowed"},
      {"GET", "/captures/X/levels", 404, "not_found"},
      {"PUT", "//captures//X//stop/", 405, "method_not_allowed"},
      {"GET", "/", 404, "not_found"},
      {"GET", "/nothing", 404, "not_found"},
      {"GET", "/captures/abc", 404, "not_found"},
      {"GET", "/captures/abc/pause", 404, "not_found"},
      {"GET", "/Health", 404, "not_found"},
      {"GET", "/health/x", 404, "not_found"},
      {"GET", "/health%2F", 404, "not_found"},
      {"GET", "/captures/a/b/events", 404, "not_found"},
      {"GET", "/capabilities", 200, nullptr},
      {"GET", "/permissions", 200, nullptr},
      {"GET", "/sources", 200, nullptr},
  };
  for (const Case& c : cases) {
    HTTPResponse r = call(c.method, c.path);
    EXPECT_EQ(r.status, c.status) << c.method << " " << c.path;
    if (c.error) {
      EXPECT_EQ(r.json, Json({{"error", c.error}})) << c.method << " " << c.path;
    }
  }
}

TEST_F(RouterTest, Health) {
  EXPECT_EQ(call("GET", "/health").json, Json({{"ok", true}, {"version", "0.1.0"}}));
}

// What never waits (the health probe, a level meter's poll) is answered without the work pool.
TEST_F(RouterTest, OnlyProbesAreAnsweredAtOnce) {
  const std::pair<const char*, const char*> immediate[] = {
      {"GET", "/health"}, {"GET", "//health/"}, {"GET", "/captures/a/levels"}};
  const std::pair<const char*, const char*> pooled[] = {{"POST", "/health"},
                                                        {"GET", "/health/x"},
                                                        {"GET", "/sources"},
                                                        {"GET", "/captures/a/events"},
                                                        {"POST", "/captures/a/levels"}};
  for (auto [method, path] : immediate) {
    HTTPRequest r;
    r.method = method;
    r.path = path;
    EXPECT_TRUE(router_.answersAtOnce(r)) << method << " " << path;
  }
  for (auto [method, path] : pooled) {
    HTTPRequest r;
    r.method = method;
    r.path = path;
    EXPECT_FALSE(router_.answersAtOnce(r)) << method << " " << path;
  }
}

TEST_F(RouterTest, Capabilities) {
  system_->version = "6.1.0";
  system_->systemAudio = false;
  EXPECT_EQ(
      call("GET", "/capabilities").json,
      Json({{"os", "6.1.0"}, {"decode", true}, {"microphone", true}, {"systemAudio", false}}));
}

TEST_F(RouterTest, PermissionsFollowTheMicAndTheRecordedRefusal) {
  EXPECT_EQ(call("GET", "/permissions").json,
            Json({{"microphone", "not_determined"}, {"systemAudio", "unknown"}}));
  mic_->word = "denied";
  permissions_.systemAudioRefused("no server");
  EXPECT_EQ(call("GET", "/permissions").json,
            Json({{"microphone", "denied"}, {"systemAudio", "denied"}}));
}

TEST_F(RouterTest, SourcesListInputsAndGroupApplications) {
  devices_->devices = {
      {7, "usb_mic", "USB Mic", "usb", 48000, 1},
      {9, "builtin", "Built-in", "built-in", 44100, 2},
  };
  devices_->defaultID = 9;
  apps_->apps = {
      {true, "org.z.player", 300, "Player Z"},   {true, "org.a.chat", 101, "Chat"},
      {false, "org.a.helper", 102, "Helper"}, // not an ordinary application
      {true, std::nullopt, 103, "Nameless"},  // no identity
      {true, "org.a.chat", 104, "Chat Two"},  // second instance: name stays from the first
      {true, "org.b.noname", 105, std::nullopt}, {true, "org.c.zero", 0, "Zero pid"},
  };
  Json expected = {
      {"inputs", Json::array({Json{{"uid", "usb_mic"},
                                   {"name", "USB Mic"},
                                   {"transport", "usb"},
                                   {"isDefault", false}},
                              Json{{"uid", "builtin"},
                                   {"name", "Built-in"},
                                   {"transport", "built-in"},
                                   {"isDefault", true}}})},
      {"applications",
       Json::array({Json{{"bundleId", "org.a.chat"}, {"name", "Chat"}, {"pids", {101, 104}}},
                    Json{{"bundleId", "org.b.noname"}, {"name", "org.b.noname"}, {"pids", {105}}},
                    Json{{"bundleId", "org.z.player"}, {"name", "Player Z"}, {"pids", {300}}}})},
  };
  EXPECT_EQ(call("GET", "/sources").json, expected);

  devices_->defaultID.reset(); // the default cannot be read: nobody is the default
  HTTPResponse again = call("GET", "/sources");
  for (const Json& input : again.json["inputs"])
    EXPECT_FALSE(input["isDefault"].get<bool>());
}

TEST_F(RouterTest, EmptySourcesStillAnswer) {
  HTTPResponse r = call("GET", "/sources");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.json, Json({{"inputs", Json::array()}, {"applications", Json::array()}}));
}

} // namespace
} // namespace va
