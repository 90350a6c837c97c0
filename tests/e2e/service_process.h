#pragma once

// The built service as the black-box tests drive it.

#include "core/json.h"
#include "support/audio_files.h"
#include "support/child_process.h"

#include <gtest/gtest.h>

#include <memory>
#include <span>
#include <string>
#include <unistd.h>
#include <vector>

namespace va::e2e {

// The answer to one authorized request; status 0 when none came. Bind it to a variable before
// looping over its json: a loop over a temporary's member outlives the temporary (fcb2414).
struct Reply {
  int status = 0;
  Json json; // null when the body is not JSON
};

// The binary, run as `serve --root <root> --parent-pid <parent>` in a fresh root that goes away,
// with everything in it and beside it, at the end (a service still running is killed first).
class Service {
public:
  Service();
  // Starts it and reads its READY line; false (and a failure) when none came. Unless `env` names
  // an XDG_RUNTIME_DIR, the service finds no audio server: never the user's own. With a
  // `descriptorLimit`, it runs under that RLIMIT_NOFILE.
  bool start(std::vector<std::string> env = {}, int parent = getpid(),
             uint64_t descriptorLimit = 0);
  Reply call(std::string_view method, const std::string& path, std::string_view body = {}) const;
  // POST /captures, expecting 201: the new id.
  std::string create(const Json& body) const;
  Reply stop(const std::string& capture) const {
    return call("POST", "/captures/" + capture + "/stop");
  }
  // Every event of a capture so far, for failure messages.
  std::string events(const std::string& capture) const;
  // Long-polls a capture's events from `after` (which it advances) until one of `type` arrives;
  // its fields, or null after 30 s.
  Json awaitEvent(const std::string& capture, const std::string& type, int64_t& from) const;
  // SIGTERM, and an exit with 0 expected; what the service wrote to standard error.
  std::string finish();
  testing_support::ChildProcess& process() { return *process_; }
  const std::string& root() const { return root_; } // its parent is the test's own too

  // One capture of `tracks` in <root>/rec, on a service started with `env`.
  bool record(const std::vector<std::string>& env, Json tracks);
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
};

// Turns on the test-tone remote strategy.
inline const std::vector<std::string> kTestStrategies{"VELMORRANT_AUDIO_TEST_STRATEGIES=1"};
// A capture body for the test tone (440 Hz at 0.25) in `dir`.
Json toneCapture(const std::string& dir, int segmentSeconds);

// Waits until the newest of at least `segments` segments of a track directory holds `seconds`
// of 16 kHz audio.
bool newestSegmentHolds(const std::string& dir, size_t segments, double seconds);
// Waits until a track directory's segments have grown by `seconds` of 16 kHz audio from now.
bool growsBy(const std::string& dir, double seconds);
// Whether an event (null when it never came) has `fields`; objects in them are compared key by key.
testing::AssertionResult holds(const Json& event, const Json& fields);
// Whether 16 kHz audio holds the tone `hz` at 0.5 and none of `absent`.
testing::AssertionResult isTone(std::span<const float> audio, int hz,
                                const std::vector<int>& absent = {});
// The same of the last half second of a track directory.
testing::AssertionResult endsOnTone(const std::string& dir, int hz,
                                    const std::vector<int>& absent = {});

} // namespace va::e2e
