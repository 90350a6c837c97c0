// The built service and the platform layer's processes against a private audio server.

#include "e2e/service_process.h"
#include "support/audio_env.h"
#include "support/child_process.h"

#include "support/eventually.h"

#include <gtest/gtest.h>

#include <csignal>
#include <thread>
#include <unistd.h>

namespace va::e2e {
namespace {

using namespace std::chrono_literals;
using testing_support::AudioEnv;
using testing_support::ChildProcess;
using testing_support::eventually;
using testing_support::runToCompletion;

class ServiceOnPipeWire : public ::testing::TestWithParam<bool> {
protected:
  void SetUp() override {
    env_ = std::make_unique<AudioEnv>(GetParam());
    ASSERT_EQ(env_->error(), "");
    env_->exportEnv();
  }
  std::unique_ptr<AudioEnv> env_;
};

TEST_P(ServiceOnPipeWire, SourcesListMicsAndApplicationsGroupedByIdentity) {
  ASSERT_NE(env_->mic("usb_mic", 1000, {"--bus", "usb", "--description", "USB Mic", "--default"}),
            0);
  ASSERT_NE(env_->mic("headset_mic", 500, {"--bus", "bluetooth", "--priority", "10"}), 0);
  pid_t first = env_->app("com.example.player", "Player", 440);
  pid_t second = env_->app("com.example.player", "Player Two", 440);
  pid_t other = env_->app("com.example.another", "Another", 660);
  ASSERT_TRUE(first && second && other);

  std::string root = makeTempDir("pw-sources-");
  RunningService service = startService(root, getpid(), env_->clientEnv());
  ASSERT_FALSE(service.ready.is_null());
  Reply sources = call(service, "GET", "/sources");
  ASSERT_EQ(sources.status, 200);
  EXPECT_EQ(sources.json["inputs"],
            Json::parse(R"([{"isDefault":true,"name":"USB Mic","transport":"usb","uid":"usb_mic"},
                {"isDefault":false,"name":"headset_mic","transport":"bluetooth",
                 "uid":"headset_mic"}])"));
  Json apps = Json::array();
  for (const Json& app : sources.json["applications"])
    if (app["bundleId"].get<std::string>().starts_with("com.example."))
      apps.push_back(app);
  EXPECT_EQ(
      apps,
      (Json{{{"bundleId", "com.example.another"}, {"name", "Another"}, {"pids", {other}}},
            {{"bundleId", "com.example.player"}, {"name", "Player"}, {"pids", {first, second}}}}));
  for (const Json& app : sources.json["applications"])
    for (const Json& pid : app["pids"])
      EXPECT_NE(pid, service.process->pid()) << "the service lists itself";

  Reply capabilities = call(service, "GET", "/capabilities");
  EXPECT_EQ(capabilities.json["systemAudio"], true);
  Reply permissions = call(service, "GET", "/permissions");
  EXPECT_EQ(permissions.json["microphone"], "granted");
  EXPECT_EQ(permissions.json["systemAudio"], "unknown");

  // The microphone goes away with the server; the service keeps answering.
  ASSERT_TRUE(env_->stopServer());
  EXPECT_TRUE(eventually([&] {
    Reply now = call(service, "GET", "/sources");
    return now.status == 200 && now.json["inputs"].empty();
  }));
  service.process->signal(SIGTERM);
  EXPECT_EQ(service.process->wait(30s), 0);
}

// Our links never outlive us: they are not lingering, so the server removes them with the
// client, even one killed without a chance to clean up.
TEST_P(ServiceOnPipeWire, AKilledRecorderLeavesNoLinkBehind) {
  ASSERT_NE(env_->mic("usb_mic", 1000, {"--default"}), 0);
  ASSERT_NE(env_->app("com.example.player", "Player", 440), 0);
  auto links = [] { return runToCompletion({"/usr/bin/pw-link", "--links"}, 10s).out; };
  for (const char* mode : {"mic", "tap"}) {
    ChildProcess probe({VA_PROBE, std::string("--") + mode,
                        std::string(mode) == "mic" ? "usb_mic" : "com.example.player", "60"},
                       env_->clientEnv());
    ASSERT_EQ(probe.readStdoutLine(20s), "ready") << mode;
    ASSERT_TRUE(eventually([&] { return links().find("velmorrant-audio") != std::string::npos; }))
        << mode << ":\n"
        << links();
    probe.signal(SIGKILL);
    probe.wait(10s);
    EXPECT_TRUE(eventually([&] { return links().find("velmorrant-audio") == std::string::npos; }))
        << mode << ":\n"
        << links();
  }
}

INSTANTIATE_TEST_SUITE_P(Server, ServiceOnPipeWire, ::testing::Values(false, true),
                         [](const auto& param) {
                           return param.param ? "Bare" : "WithSessionManager";
                         });

} // namespace
} // namespace va::e2e
