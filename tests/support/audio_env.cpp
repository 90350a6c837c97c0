#include "support/audio_env.h"

#include "support/child_process.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <thread>

namespace va::testing_support {

namespace {

const std::string kScript = std::string(VA_SOURCE_DIR) + "/scripts/audio-env";

} // namespace

AudioEnv::AudioEnv(bool bare, bool pulse) : bare_(bare), pulse_(pulse) {
  setenv("VA_TONE_PLAYER", VA_TONE_PLAYER, 1);
  if (!startServer() && error_.empty())
    error_ = "the audio server did not start";
}

AudioEnv::~AudioEnv() {
  stopServer();
}

std::optional<std::string> AudioEnv::run(const std::vector<std::string>& args) {
  std::vector<std::string> argv{"/bin/bash", kScript};
  argv.insert(argv.end(), args.begin(), args.end());
  Completed done = runToCompletion(argv, std::chrono::seconds(30));
  if (done.status == 0)
    return done.out;
  error_ = "audio-env " + args[0] + ": " + done.err;
  return std::nullopt;
}

std::vector<std::string> AudioEnv::clientEnv() const {
  std::vector<std::string> env{"XDG_RUNTIME_DIR=" + dir_.path() + "/runtime",
                               "XDG_CONFIG_HOME=" + dir_.path() + "/config",
                               "XDG_STATE_HOME=" + dir_.path() + "/state"};
  if (pulse_)
    env.push_back("PULSE_SERVER=unix:" + dir_.path() + "/runtime/pulse/native");
  return env;
}

void AudioEnv::exportEnv() const {
  for (const char* name : {"PIPEWIRE_REMOTE", "PULSE_SERVER", "DBUS_SESSION_BUS_ADDRESS"})
    unsetenv(name);
  for (const std::string& entry : clientEnv()) {
    size_t equals = entry.find('=');
    setenv(entry.substr(0, equals).c_str(), entry.substr(equals + 1).c_str(), 1);
  }
}

pid_t AudioEnv::mic(const std::string& name, int hz, const std::vector<std::string>& options) {
  std::vector<std::string> args{"mic", dir_.path(), name, std::to_string(hz)};
  args.insert(args.end(), options.begin(), options.end());
  return started(args);
}

pid_t AudioEnv::player(const std::string& kind, const std::string& id, const std::string& name,
                       int hz, double seconds) {
  return started({kind, dir_.path(), id, name, std::to_string(hz), std::to_string(seconds)});
}

pid_t AudioEnv::started(const std::vector<std::string>& args) {
  std::optional<std::string> out = run(args);
  return out ? static_cast<pid_t>(std::atoi(out->c_str())) : 0;
}

void AudioEnv::end(pid_t pid) {
  if (pid <= 0)
    return;
  kill(pid, SIGTERM);
  for (int i = 0; i < 250 && processAlive(pid); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

bool AudioEnv::stopServer() {
  return run({"stop", dir_.path()}).has_value();
}

bool AudioEnv::startServer() {
  std::vector<std::string> args{"start", dir_.path()};
  if (bare_)
    args.push_back("--bare");
  if (pulse_)
    args.push_back("--pulse");
  return run(args).has_value();
}

bool processAlive(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  if (!std::getline(stat, text))
    return false;
  size_t close = text.rfind(')');
  return close != std::string::npos && close + 2 < text.size() && text[close + 2] != 'Z';
}

} // namespace va::testing_support
