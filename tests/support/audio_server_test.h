#pragma once

#include "support/audio_env.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace va::testing_support {

// A test run twice, each time on a private server of its own: with WirePlumber, then bare
// (the parameter); with the PulseAudio bridge when asked. Clients of this process are pointed at
// it.
class AudioServerTest : public ::testing::TestWithParam<bool> {
protected:
  explicit AudioServerTest(bool pulse = false) : pulse_(pulse) {}
  void SetUp() override {
    env_ = std::make_unique<AudioEnv>(GetParam(), pulse_);
    ASSERT_EQ(env_->error(), "");
    env_->exportEnv();
  }
  void TearDown() override { env_.reset(); }

  bool pulse_;
  std::unique_ptr<AudioEnv> env_;
};

inline std::string serverName(const ::testing::TestParamInfo<bool>& info) {
  return info.param ? "Bare" : "WithSessionManager";
}

} // namespace va::testing_support

// Instantiates an AudioServerTest suite as "Server/<Suite>.<Test>/{WithSessionManager,Bare}".
#define VA_AUDIO_SERVER_TEST_SUITE(Suite)                                                          \
  INSTANTIATE_TEST_SUITE_P(Server, Suite, ::testing::Values(false, true),                          \
                           ::va::testing_support::serverName)
