#include "api/router.h"

#include "fakes/fake_platform.h"

#include <gtest/gtest.h>

namespace va {
namespace {

// "GET /health" as a request.
HTTPRequest request(std::string_view line) {
  HTTPRequest r;
  r.method = line.substr(0, line.find(' '));
  r.path = line.substr(line.find(' ') + 1);
  return r;
}

class RouterTest : public testing::Test {
protected:
  HTTPResponse call(std::string_view line) { return router_.handle(request(line)); }

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
  const std::pair<int64_t, std::vector<const char*>> table[] = {
      {200, {"GET /health", "GET //health/", "GET health"}},
      {405,
       {"HEAD /health", "GET /decode", "POST /permissions", "GET /captures/X/stop",
        "POST /captures/X/levels", "PUT //captures//X//events/"}},
      {404,
       {"GET /captures/X/levels", "GET /", "GET /captures/abc", "GET /captures/abc/pause",
        "GET /health/x", "GET /captures/a/b/events"}}};
  for (const auto& [status, lines] : table) {
    for (const char* line : lines) {
      HTTPResponse r = call(line);
      EXPECT_EQ(r.status, status) << line;
      if (status != 200) {
        EXPECT_EQ(r.json, Json({{"error", status == 405 ? "method_not_allowed" : "not_found"}}))
            << line;
      }
    }
  }
}

// What never waits (the health probe, a level meter's poll) is answered without the work pool.
TEST_F(RouterTest, OnlyProbesAreAnsweredAtOnce) {
  for (const char* line : {"GET /health", "GET //health/", "GET /captures/a/levels"})
    EXPECT_TRUE(router_.answersAtOnce(request(line))) << line;
  for (const char* line : {"POST /health", "GET /health/x", "GET /sources",
                           "GET /captures/a/events", "POST /captures/a/levels"})
    EXPECT_FALSE(router_.answersAtOnce(request(line))) << line;
}

TEST_F(RouterTest, CapabilitiesAndPermissionsFollowThePlatform) {
  system_->version = "6.1.0";
  system_->systemAudio = false;
  EXPECT_EQ(
      call("GET /capabilities").json,
      Json({{"os", "6.1.0"}, {"decode", true}, {"microphone", true}, {"systemAudio", false}}));
  EXPECT_EQ(call("GET /permissions").json,
            Json({{"microphone", "not_determined"}, {"systemAudio", "unknown"}}));
  mic_->word = "denied";
  permissions_.systemAudioRefused("no server");
  EXPECT_EQ(call("GET /permissions").json,
            Json({{"microphone", "denied"}, {"systemAudio", "denied"}}));
}

TEST_F(RouterTest, SourcesListInputsAndGroupApplications) {
  devices_->devices = {{7, "usb_mic", "USB Mic", "usb", 48000, 1},
                       {9, "builtin", "Built-in", "built-in", 44100, 2}};
  devices_->defaultID = 9;
  apps_->apps = {
      {true, "org.z.player", 300, "Player Z"},   {true, "org.a.chat", 101, "Chat"},
      {false, "org.a.helper", 102, "Helper"}, // not an ordinary application
      {true, std::nullopt, 103, "Nameless"},  // no identity
      {true, "org.a.chat", 104, "Chat Two"},  // second instance: name stays from the first
      {true, "org.b.noname", 105, std::nullopt}, {true, "org.c.zero", 0, "Zero pid"},
  };
  EXPECT_EQ(call("GET /sources").json, parseJson(R"({
      "inputs": [{"uid": "usb_mic", "name": "USB Mic", "transport": "usb", "isDefault": false},
                 {"uid": "builtin", "name": "Built-in", "transport": "built-in", "isDefault": true}],
      "applications": [{"bundleId": "org.a.chat", "name": "Chat", "pids": [101, 104]},
                       {"bundleId": "org.b.noname", "name": "org.b.noname", "pids": [105]},
                       {"bundleId": "org.z.player", "name": "Player Z", "pids": [300]}]})"));
  devices_->defaultID.reset(); // the default cannot be read: nobody is the default
  HTTPResponse again = call("GET /sources");
  for (const Json& input : again.json["inputs"])
    EXPECT_FALSE(input["isDefault"].get<bool>());
}

} // namespace
} // namespace va
