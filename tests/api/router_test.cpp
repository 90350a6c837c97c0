#include "api/router.h"

#include "fakes/fake_platform.h"

#include <gtest/gtest.h>

namespace va {
namespace {

HTTPRequest request(std::string method, std::string path) {
  HTTPRequest r;
  r.method = std::move(method);
  r.path = std::move(path);
  return r;
}

class RouterTest : public testing::Test {
protected:
  HTTPResponse call(std::string method, std::string path) {
    return router_.handle(request(std::move(method), std::move(path)));
  }

  std::shared_ptr<fakes::FakeInputDevices> devices_ = std::make_shared<fakes::FakeInputDevices>();
  std::shared_ptr<fakes::FakeApplications> apps_ = std::make_shared<fakes::FakeApplications>();
  std::shared_ptr<fakes::FakeSystemInfo> system_ = std::make_shared<fakes::FakeSystemInfo>();
  std::shared_ptr<fakes::FakeMicAuthorization> mic_ =
      std::make_shared<fakes::FakeMicAuthorization>();
  CapturePermissions permissions_;
  // No capture is made here: the registry needs no strategies.
  Router router_{
      "0.1.0", "/tmp", RouterPlatform{devices_, apps_, system_, mic_, &permissions_},
      std::make_shared<Captures>(Captures::Factories{}, std::make_shared<MonotonicClock>())};
};

// The health body is checked against the binary, end to end; the other answers below.
TEST_F(RouterTest, RouteTable) {
  const std::tuple<const char*, const char*, int64_t> cases[] = {
      {"GET", "/health", 200},
      {"GET", "/health/", 200},
      {"GET", "//health", 200},
      {"GET", "health", 200},
      {"get", "/health", 405},
      {"HEAD", "/health", 405},
      {"GET", "/captures", 405},
      {"GET", "/decode", 405},
      {"POST", "/sources", 405},
      {"POST", "/permissions", 405},
      {"POST", "/capabilities", 405},
      {"POST", "/captures/X/events", 405},
      {"POST", "/captures/X/levels", 405},
      {"PUT", "//captures//X//stop/", 405},
      {"GET", "/captures/X/levels", 404},
      {"GET", "/", 404},
      {"GET", "/captures/abc", 404},
      {"GET", "/captures/abc/pause", 404},
      {"GET", "/Health", 404},
      {"GET", "/health/x", 404},
      {"GET", "/health%2F", 404},
      {"GET", "/captures/a/b/events", 404}};
  for (const auto& [method, path, status] : cases) {
    HTTPResponse r = call(method, path);
    EXPECT_EQ(r.status, status) << method << " " << path;
    if (status != 200) {
      EXPECT_EQ(r.json, Json({{"error", status == 405 ? "method_not_allowed" : "not_found"}}))
          << method << " " << path;
    }
  }
}

// What never waits (the health probe, a level meter's poll) is answered without the work pool.
TEST_F(RouterTest, OnlyProbesAreAnsweredAtOnce) {
  const std::tuple<const char*, const char*, bool> cases[] = {
      {"GET", "/health", true},
      {"GET", "//health/", true},
      {"GET", "/captures/a/levels", true},
      {"POST", "/health", false},
      {"GET", "/health/x", false},
      {"GET", "/sources", false},
      {"GET", "/captures/a/events", false},
      {"POST", "/captures/a/levels", false}};
  for (const auto& [method, path, atOnce] : cases)
    EXPECT_EQ(router_.answersAtOnce(request(method, path)), atOnce) << method << " " << path;
}

TEST_F(RouterTest, CapabilitiesAndPermissionsFollowThePlatform) {
  system_->version = "6.1.0";
  system_->systemAudio = false;
  EXPECT_EQ(
      call("GET", "/capabilities").json,
      Json({{"os", "6.1.0"}, {"decode", true}, {"microphone", true}, {"systemAudio", false}}));
  EXPECT_EQ(call("GET", "/permissions").json,
            Json({{"microphone", "not_determined"}, {"systemAudio", "unknown"}}));
  mic_->word = "denied";
  permissions_.systemAudioRefused("no server");
  EXPECT_EQ(call("GET", "/permissions").json,
            Json({{"microphone", "denied"}, {"systemAudio", "denied"}}));
}

TEST_F(RouterTest, SourcesListInputsAndGroupApplications) {
  EXPECT_EQ(call("GET", "/sources").json,
            Json({{"inputs", Json::array()}, {"applications", Json::array()}}));
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
  EXPECT_EQ(call("GET", "/sources").json, parseJson(R"({
      "inputs": [{"uid": "usb_mic", "name": "USB Mic", "transport": "usb", "isDefault": false},
                 {"uid": "builtin", "name": "Built-in", "transport": "built-in", "isDefault": true}],
      "applications": [{"bundleId": "org.a.chat", "name": "Chat", "pids": [101, 104]},
                       {"bundleId": "org.b.noname", "name": "org.b.noname", "pids": [105]},
                       {"bundleId": "org.z.player", "name": "Player Z", "pids": [300]}]})"));
  devices_->defaultID.reset(); // the default cannot be read: nobody is the default
  HTTPResponse again = call("GET", "/sources");
  for (const Json& input : again.json["inputs"])
    EXPECT_FALSE(input["isDefault"].get<bool>());
}

} // namespace
} // namespace va
