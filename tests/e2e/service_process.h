#pragma once

// The built service as the black-box tests drive it.

#include "core/json.h"
#include "support/audio_files.h"
#include "support/child_process.h"
#include "support/eventually.h"
#include "support/socket_client.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace va::e2e {

using namespace std::chrono_literals;

// The answer to one authorized request; status 0 when none came. Bind it to a variable before
// looping over its json: a loop over a temporary's member outlives the temporary (fcb2414).
struct Reply {
  int status = 0;
  Json json; // null when the body is not JSON
};

// Threads of a process, read from /proc.
inline int threadsIn(const std::string& pid) {
  std::ifstream status("/proc/" + pid + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.starts_with("Threads:"))
      return std::stoi(line.substr(8));
  return 0;
}

// Threads of every process that runs as `uid`.
inline uint64_t threadsOf(uid_t uid) {
  uint64_t threads = 0;
  for (const std::string& pid : testing_support::listDir("/proc")) {
    struct stat st {};
    if (pid.empty() || !std::isdigit(static_cast<unsigned char>(pid[0])) ||
        ::stat(("/proc/" + pid).c_str(), &st) != 0 || st.st_uid != uid)
      continue;
    threads += threadsIn(pid);
  }
  return threads;
}

// Limits the service runs under (0: ours). Under a thread limit it runs as "nobody": root is
// exempt from RLIMIT_NPROC, which counts every thread of the user.
struct Limits {
  uint64_t descriptors = 0; // RLIMIT_NOFILE
  uint64_t threads = 0;     // RLIMIT_NPROC
};

// The binary, run as `serve --root <root> --parent-pid <parent>` in a fresh root that goes away,
// with everything in it and beside it, at the end (a service still running is killed first).
class Service {
public:
  Service() : root_(base_.path() + "/root") { ::mkdir(root_.c_str(), 0700); }
  // Every answer with a JSON body must match api/openapi.yaml.
  ~Service() {
    std::lock_guard lock(exchangesLock_);
    if (exchanges_.empty())
      return;
    const std::string file = base_.path() + "/exchanges.jsonl";
    std::ofstream(file) << exchanges_;
    std::string output;
    FILE* checker = ::popen((VA_CHECK_API " " VA_OPENAPI " " + file + " 2>&1").c_str(), "r");
    for (char buffer[4096]; checker && std::fgets(buffer, sizeof buffer, checker);)
      output += buffer;
    if (!checker || ::pclose(checker) != 0)
      ADD_FAILURE() << "answers that api/openapi.yaml does not describe:\n" << output;
  }

  // Starts it and reads its READY line; false (and a failure) when none came. Unless `env` names
  // an XDG_RUNTIME_DIR, the service finds no audio server: never the user's own.
  bool start(std::vector<std::string> env = {}, int parent = getpid(), Limits limits = {}) {
    if (std::ranges::none_of(env, [](auto& e) { return e.starts_with("XDG_RUNTIME_DIR="); }))
      env.insert(env.end(), {"XDG_RUNTIME_DIR=" + base_.path(),
                             "PIPEWIRE_REMOTE=" + base_.path() + "/no-audio-server"});
    std::vector<std::string> argv{VA_BINARY, "serve",        "--root",
                                  root_,     "--parent-pid", std::to_string(parent)};
    if (limits.threads > 0) { // a copy of the binary that "nobody" may run, in a root it owns
      const std::string binary = base_.path() + "/velmorrant-audio";
      std::filesystem::copy_file(VA_BINARY, binary);
      if (::chmod(base_.path().c_str(), 0711) != 0 || ::chown(root_.c_str(), 65534, 65534) != 0)
        ADD_FAILURE() << "cannot hand the root to nobody: " << std::strerror(errno);
      argv[0] = binary;
      argv.insert(argv.begin(),
                  {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"});
    }
    // prlimit sets the limits and runs the rest in its place.
    if (limits.descriptors > 0) {
      std::string limit = std::to_string(limits.descriptors);
      argv.insert(argv.begin(), {"/usr/bin/prlimit", "--nofile=" + limit + ":" + limit});
    }
    if (limits.threads > 0) { // on top of what "nobody" already runs: the limit counts that too
      std::string limit = std::to_string(limits.threads + threadsOf(65534));
      argv.insert(argv.begin(), {"/usr/bin/prlimit", "--nproc=" + limit + ":" + limit});
    }
    process_ = std::make_unique<testing_support::ChildProcess>(std::move(argv), std::move(env));
    readyLine = process_->readStdoutLine(30s).value_or("");
    constexpr std::string_view kPrefix = "VELMORRANT_AUDIO_READY ";
    Json ready;
    if (readyLine.starts_with(kPrefix))
      ready = parseJson(std::string_view(readyLine).substr(kPrefix.size())).value_or(Json());
    if (!ready.is_object()) {
      ADD_FAILURE() << "no READY line: " << readyLine;
      return false;
    }
    port = ready.value("port", uint16_t{0});
    token = ready.value("token", std::string());
    return true;
  }

  Reply call(std::string_view method, const std::string& path, std::string_view body = {}) const {
    std::string raw = testing_support::roundTrip(
        port,
        std::string(method) + " " + path + " HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer " +
            token + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
            std::string(body),
        60s);
    Reply reply;
    if (!raw.starts_with("HTTP/1.1 ") || raw.size() < 12)
      return reply;
    reply.status = std::atoi(raw.c_str() + 9);
    if (size_t at = raw.find("\r\n\r\n"); at != std::string::npos)
      reply.json = parseJson(std::string_view(raw).substr(at + 4)).value_or(Json());
    if (!reply.json.is_null()) {
      Json exchange{{"method", std::string(method)},
                    {"path", path},
                    {"status", reply.status},
                    {"body", reply.json}};
      std::lock_guard lock(exchangesLock_);
      exchanges_ += exchange.dump() + "\n";
    }
    return reply;
  }

  // POST /captures, expecting 201: the new id.
  std::string create(const Json& body) const {
    Reply created = call("POST", "/captures", body.dump());
    EXPECT_EQ(created.status, 201) << created.json;
    return created.status == 201 ? created.json.value("captureId", std::string()) : "";
  }

  Reply stop(const std::string& capture) const {
    return call("POST", "/captures/" + capture + "/stop");
  }

  // Every event of a capture so far, for failure messages.
  std::string events(const std::string& capture) const {
    Reply all = call("GET", "/captures/" + capture + "/events?after=0");
    return all.json.dump();
  }

  // Long-polls a capture's events from `from` (which it advances) until one of `type` arrives;
  // its fields, or null after 30 s.
  Json awaitEvent(const std::string& capture, const std::string& type, int64_t& from) const {
    for (auto deadline = std::chrono::steady_clock::now() + 30s;
         std::chrono::steady_clock::now() < deadline;) {
      Reply reply =
          call("GET", "/captures/" + capture + "/events?after=" + std::to_string(from) + "&wait=5");
      if (reply.status != 200)
        return nullptr;
      for (const Json& event : reply.json["events"]) {
        from = event["seq"];
        if (event["type"] == type)
          return event;
      }
    }
    return nullptr;
  }

  // SIGTERM, and an exit with 0 expected; what the service wrote to standard error.
  std::string finish() {
    process_->signal(SIGTERM);
    EXPECT_EQ(process_->wait(30s), 0);
    return process_->drainStderr();
  }

  testing_support::ChildProcess& process() { return *process_; }
  const std::string& root() const { return root_; } // its parent is the test's own too

  // One capture of `tracks` in <root>/rec, on a service started with `env`.
  bool record(const std::vector<std::string>& env, Json tracks) {
    tracks["dir"] = root_ + "/rec";
    return start(env) && !(id = create(tracks)).empty();
  }
  Json await(const std::string& type) { return awaitEvent(id, type, after); }
  std::string events() const { return events(id); }
  std::string track(const std::string& name) const { return root_ + "/rec/tracks/" + name; }
  std::string id; // of that capture
  int64_t after = 0;

  std::string readyLine;
  uint16_t port = 0;
  std::string token;

private:
  testing_support::TempDir base_;
  std::string root_;
  std::unique_ptr<testing_support::ChildProcess> process_;
  mutable std::mutex exchangesLock_;
  mutable std::string exchanges_; // JSON lines of {"method", "path", "status", "body"}

public:
  // Serves `root` (a link, say) instead of the fresh directory; call before start().
  void serveRoot(std::string root) { root_ = std::move(root); }
};

// Threads and descriptors of a process, read from /proc.
inline std::pair<int, int> threadsAndDescriptors(pid_t pid) {
  return {
      threadsIn(std::to_string(pid)),
      static_cast<int>(testing_support::listDir("/proc/" + std::to_string(pid) + "/fd").size())};
}

// Turns on the test-tone remote strategy.
inline const std::vector<std::string> kTestStrategies{"VELMORRANT_AUDIO_TEST_STRATEGIES=1"};

// A capture body for the test tone (440 Hz at 0.25) in `dir`.
inline Json toneCapture(const std::string& dir, int segmentSeconds) {
  return {{"dir", dir},
          {"segmentSeconds", segmentSeconds},
          {"remote", {{"strategy", "test-tone"}, {"match", {{"bundleIds", {"org.example.x"}}}}}}};
}

// Waits until the newest of at least `segments` segments of a track directory holds `seconds`
// of 16 kHz audio.
inline bool newestSegmentHolds(const std::string& dir, size_t segments, double seconds) {
  return testing_support::eventually(
      [&] {
        std::vector<std::string> names = testing_support::listDir(dir);
        std::error_code error;
        return names.size() >= segments &&
               std::filesystem::file_size(dir + "/" + names.back(), error) >=
                   44 + static_cast<uintmax_t>(seconds * 32000) &&
               !error;
      },
      30s);
}

// Waits until a track directory's segments have grown by `seconds` of 16 kHz audio from now.
inline bool growsBy(const std::string& dir, double seconds) {
  auto bytes = [&] {
    uintmax_t sum = 0;
    std::error_code error;
    for (const std::string& name : testing_support::listDir(dir))
      if (uintmax_t size = std::filesystem::file_size(dir + "/" + name, error); !error)
        sum += size;
    return sum;
  };
  const uintmax_t from = bytes();
  return testing_support::eventually(
      [&] { return bytes() >= from + static_cast<uintmax_t>(seconds * 32000); }, 30s);
}

// Whether an event (null when it never came) has `fields`; objects in them are compared key by key.
inline testing::AssertionResult holds(const Json& event, const Json& fields) {
  Json patched = event;
  patched.merge_patch(fields);
  if (patched == event)
    return testing::AssertionSuccess();
  return testing::AssertionFailure() << event << " lacks " << fields;
}

// Whether 16 kHz audio holds the tone `hz` at 0.5 and none of `absent`.
inline testing::AssertionResult isTone(std::span<const float> audio, int hz,
                                       const std::vector<int>& absent = {}) {
  using testing_support::toneAmplitude;
  if (audio.size() < 4000)
    return testing::AssertionFailure() << "only " << audio.size() << " samples";
  if (double level = toneAmplitude(audio, 16000, hz); std::abs(level - 0.5) > 0.05)
    return testing::AssertionFailure() << hz << " Hz at " << level;
  for (int other : absent)
    if (double level = toneAmplitude(audio, 16000, other); level >= 0.01)
      return testing::AssertionFailure() << other << " Hz at " << level << " beside " << hz;
  return testing::AssertionSuccess();
}

// Whether a track of a capture holds the tone `hz` (`amplitude`, within 20 %) in every 10 ms window
// but those its events account for: the first window of each segment (the converter starts there),
// the silence that filled holes ("audio_dropout") and what a repaired path lost
// ("track_repaired"), each with a window either side. A track of nothing fails.
inline testing::AssertionResult heardThroughout(const Service& s, const std::string& capture,
                                                const std::string& dir, const std::string& track,
                                                int hz, double amplitude = 0.5) {
  testing_support::TrackFiles files = testing_support::readTrack(dir);
  std::vector<float> audio = testing_support::toFloat(files.samples);
  if (audio.size() < 1600)
    return testing::AssertionFailure() << track << ": only " << audio.size() << " frames";
  double excusedS = 0;
  int64_t excused = 2 * files.segments;
  Reply all = s.call("GET", "/captures/" + capture + "/events?after=0");
  for (const Json& e : all.json["events"]) {
    if (e.value("track", "") != track)
      continue;
    if (e["type"] == "audio_dropout") {
      excusedS += e["lostS"].get<double>();
      excused += 2 * e["holes"].get<int64_t>();
    } else if (e["type"] == "track_repaired") {
      excusedS += e["lostS"].get<double>();
      excused += 2;
    }
  }
  excused += static_cast<int64_t>(std::ceil(excusedS * 100));
  std::vector<size_t> missing;
  for (size_t at = 0; at + 160 <= audio.size(); at += 160)
    if (double level = testing_support::toneAmplitude(std::span(audio).subspan(at, 160), 16000, hz);
        level < 0.8 * amplitude || level > 1.2 * amplitude)
      missing.push_back(at);
  if (static_cast<int64_t>(missing.size()) <= excused)
    return testing::AssertionSuccess();
  auto failure = testing::AssertionFailure()
                 << track << ": " << missing.size() << " of " << audio.size() / 160
                 << " windows without " << hz << " Hz, " << excused << " accounted for; at frames";
  for (size_t i = 0; i < std::min<size_t>(missing.size(), 20); ++i) {
    auto window = std::span(audio).subspan(missing[i], 160);
    float peak = 0;
    for (float v : window)
      peak = std::max(peak, std::abs(v));
    failure << " " << missing[i] << " (peak " << peak << ", "
            << testing_support::toneAmplitude(window, 16000, hz) << " at " << hz << " Hz)";
  }
  return failure << "; events: " << all.json.dump();
}

// The same of the newest half second of a track directory that holds no filled hole (a run of
// 2 ms or more of digital silence, where a loaded machine lost audio; "audio_dropout" reports
// it), among its last 3 s; at least a quarter of a second of it, ending within its last second.
inline testing::AssertionResult endsOnTone(const std::string& dir, int hz,
                                           const std::vector<int>& absent = {}) {
  std::vector<float> audio = testing_support::toFloat(testing_support::readTrack(dir).samples);
  // Stretches between holes in the last 3 s, newest last.
  std::vector<std::pair<size_t, size_t>> stretches;
  size_t start = audio.size() - std::min<size_t>(audio.size(), 48000), zeros = 0;
  for (size_t at = start; at <= audio.size(); ++at) {
    if (at < audio.size() && audio[at] == 0.0f) {
      ++zeros;
      continue;
    }
    if (zeros >= 32) {
      stretches.emplace_back(start, at - zeros);
      start = at;
    }
    zeros = 0;
  }
  stretches.emplace_back(start, audio.size());
  std::pair<size_t, size_t> chosen{0, 0};
  for (auto stretch : stretches)
    if (stretch.second - stretch.first >= std::min<size_t>(8000, chosen.second - chosen.first + 1))
      chosen = stretch;
  size_t length = std::min<size_t>(chosen.second - chosen.first, 8000);
  // The newest half second, or one ending up to a second earlier: a player the loaded machine
  // held back for a few cycles leaves no hole in a mix, only a quieter tone.
  testing::AssertionResult newest =
      isTone(std::span(audio).subspan(chosen.second - length, length), hz, absent);
  for (size_t end = chosen.second;
       !newest && end >= chosen.first + length + 1600 && chosen.second - end < 16000;) {
    end -= 1600;
    if (isTone(std::span(audio).subspan(end - length, length), hz, absent))
      return testing::AssertionSuccess();
  }
  return newest;
}

} // namespace va::e2e
