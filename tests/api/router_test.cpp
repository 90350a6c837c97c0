#include "api/router.h"

#include "fakes/fake_platform.h"
#include "fakes/scripted_strategy.h"
#include "support/audio_files.h"

#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

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
  std::shared_ptr<fakes::FakeProcesses> processes_ = std::make_shared<fakes::FakeProcesses>();
  CapturePermissions permissions_;
  // No capture is made here: the registry needs no strategies.
  Router router_{
      "0.1.0", Root::open("/tmp").value_or(nullptr),
      RouterPlatform{devices_, apps_, system_, mic_, processes_, &permissions_},
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
        EXPECT_EQ(r.json["error"], status == 405 ? "method_not_allowed" : "not_found") << line;
        EXPECT_FALSE(r.json.value("message", "").empty()) << line;
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
  // Playing: a process of the second chat instance, and one of the player's identity only.
  processes_->list = {{1, 104, "", true, false},
                      {2, 105, "org.b.noname", false, true},
                      {3, 999, "org.z.player", true, false}};
  EXPECT_EQ(call("GET /sources").json, parseJson(R"({
      "inputs": [{"uid": "usb_mic", "name": "USB Mic", "transport": "usb", "isDefault": false},
                 {"uid": "builtin", "name": "Built-in", "transport": "built-in", "isDefault": true}],
      "applications": [
        {"bundleId": "org.a.chat", "name": "Chat", "pids": [101, 104], "playing": true},
        {"bundleId": "org.b.noname", "name": "org.b.noname", "pids": [105], "playing": false},
        {"bundleId": "org.z.player", "name": "Player Z", "pids": [300], "playing": true}]})"));
  devices_->defaultID.reset(); // the default cannot be read: nobody is the default
  HTTPResponse again = call("GET /sources");
  for (const Json& input : again.json["inputs"])
    EXPECT_FALSE(input["isDefault"].get<bool>());
}

// Paths resolve below the root opened at start-up, at any depth: a link that named the root,
// re-pointed since, leads nowhere new. A decode may not write into a recording capture's tree,
// only so many run at once, and a process short of descriptors answers 503, never 403.
TEST(RouterPaths, StayBelowTheRootOpenedAtStartUp) {
  namespace fs = std::filesystem;
  testing_support::TempDir base;
  const std::string real = base.path() + "/real", link = base.path() + "/link";
  fs::create_directory(real);
  std::string deep = real;
  for (UniqueFd at(::open(real.c_str(), O_PATH | O_DIRECTORY)); deep.size() < real.size() + 2000;
       at = UniqueFd(::openat(at.get(), "d", O_PATH | O_DIRECTORY)), deep += "/d")
    ::mkdirat(at.get(), "d", 0700);
  fs::create_directory(base.path() + "/other");
  fs::create_directory_symlink(real, link);
  fs::create_directory_symlink("d/d", real + "/dd");
  ASSERT_TRUE(testing_support::makeTone(real + "/in.wav", 16000, 1, 440, 0.1, 0.25));
  auto journal = std::make_shared<testing_support::CallJournal>();
  Captures::Factories factories;
  factories.makeRemote = [journal](const std::string&, const ProcessMatch&) {
    return std::make_shared<testing_support::ScriptedStrategy>("remote", journal);
  };
  auto captures = std::make_shared<Captures>(factories, std::make_shared<MonotonicClock>());
  std::shared_ptr<const Root> root = Root::open(link).value();
  Router router("0.1.0", root, RouterPlatform{}, captures, {}, 1);
  Router full("0.1.0", root, RouterPlatform{}, captures, {}, 0);
  fs::remove(link);
  fs::create_directory_symlink(base.path() + "/other", link);
  auto post = [](Router& to, const std::string& line, const Json& body) {
    HTTPRequest r = request(line);
    r.body = body.dump();
    return to.handle(r);
  };
  auto decode = [&](Router& to, const std::string& output) {
    return post(to, "POST /decode", {{"input", real + "/in.wav"}, {"output", output}});
  };
  auto create = [&](const std::string& dir) {
    return post(router, "POST /captures",
                {{"dir", dir}, {"remote", {{"strategy", "x"}, {"match", {{"bundleIds", {"a"}}}}}}});
  };
  HTTPResponse made = create(link + "/rec");
  ASSERT_EQ(made.status, 201) << made.json;

  const std::pair<int64_t, std::string> outputs[] = {
      {200, link + "/out.wav"}, // as given at start-up: still the first root
      {200, deep + "/out.wav"},
      {200, real + "/dd/d/out.wav"},
      {403, base.path() + "/other/out.wav"},
      {409, real + "/rec/tracks/remote/000001.wav"},
      {409, real + "/rec/out.wav"},
  };
  for (const auto& [status, output] : outputs)
    EXPECT_EQ(decode(router, output).status, status) << output.substr(0, 200);
  EXPECT_TRUE(fs::exists(real + "/out.wav") && fs::exists(real + "/d/d/d/out.wav"));
  EXPECT_EQ(decode(full, real + "/out.wav").json["error"], "busy");
  post(router, "POST /captures/" + made.json["captureId"].get<std::string>() + "/stop", {});

  rlimit saved{}, low{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  low = {64, saved.rlim_max};
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
  std::vector<UniqueFd> taken; // every descriptor number below the limit
  for (int fd; (fd = ::dup(root->fd()->get())) >= 0;)
    taken.emplace_back(fd);
  HTTPResponse created = create(real + "/d/x");
  HTTPResponse decoded = decode(router, real + "/d/out.wav");
  taken.clear();
  ::setrlimit(RLIMIT_NOFILE, &saved);
  EXPECT_EQ(created.json["error"], "busy");
  EXPECT_EQ(decoded.json["error"], "busy");
}

} // namespace
} // namespace va
