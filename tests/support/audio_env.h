#pragma once

#include "support/audio_files.h"

#include <csignal>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace va::testing_support {

// The private headless audio server of scripts/audio-env, with WirePlumber or bare (and with the
// PulseAudio bridge when asked), in a temp dir of its own; virtual microphones and fake
// applications on it. Everything it started is ended by PID on destruction.
class AudioEnv {
public:
  explicit AudioEnv(bool bare, bool pulse = false);
  ~AudioEnv();
  AudioEnv(const AudioEnv&) = delete;
  AudioEnv& operator=(const AudioEnv&) = delete;

  // Empty when the server is up; else what went wrong.
  const std::string& error() const { return error_; }
  bool bare() const { return bare_; }
  // "XDG_RUNTIME_DIR=...", ... (and "PULSE_SERVER=..." with the bridge) for a client of it.
  std::vector<std::string> clientEnv() const;
  // Points this process's own clients at the server.
  void exportEnv() const;

  // A virtual microphone (Audio/Source) playing a sine; 0 on failure. Options are audio-env's:
  // --bus B, --description T, --priority N, --default, --amplitude A (0.5 unless given).
  pid_t mic(const std::string& name, int hz, const std::vector<std::string>& options = {});
  // A fake application playing a stereo sine at amplitude 0.5; 0 on failure.
  pid_t app(const std::string& id, const std::string& name, int hz, double seconds = 0) {
    return player("app", id, name, hz, seconds);
  }
  // The same played by a PulseAudio client (pacat; needs the bridge) or an ALSA client (aplay),
  // both routed by the session manager.
  pid_t pulseApp(const std::string& id, const std::string& name, int hz, double seconds = 0) {
    return player("pulse-app", id, name, hz, seconds);
  }
  pid_t alsaApp(const std::string& id, const std::string& name, int hz, double seconds = 0) {
    return player("alsa-app", id, name, hz, seconds);
  }
  // The simulated room of audio-env: what the default output plays reaches the microphone
  // "room_mic" after `delayMs` and a room's reflections, 7 dB down; players targeting "room" are
  // talkers in it. False on failure.
  bool room(int delayMs) {
    return run({"room", dir_.path(), "--delay", std::to_string(delayMs)}).has_value();
  }
  void pause(pid_t pid) { kill(pid, SIGUSR1); }
  void resume(pid_t pid) { kill(pid, SIGUSR2); }
  // SIGTERM and wait for it to be gone.
  void end(pid_t pid);
  // Stops everything (server included) and starts the server again, without clients.
  bool stopServer();
  bool startServer();

private:
  std::optional<std::string> run(const std::vector<std::string>& args); // stdout; none on failure
  pid_t started(const std::vector<std::string>& args); // the pid audio-env prints; 0 on failure
  pid_t player(const std::string& kind, const std::string& id, const std::string& name, int hz,
               double seconds);

  TempDir dir_;
  bool bare_;
  bool pulse_;
  std::string error_;
};

// Whether a process is still there (a zombie counts as gone).
bool processAlive(pid_t pid);

} // namespace va::testing_support
