#include "e2e/service_process.h"

#include "support/eventually.h"
#include "support/socket_client.h"

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <sys/stat.h>

namespace va::e2e {

using namespace std::chrono_literals;
using testing_support::toneAmplitude;

Service::Service() : root_(base_.path() + "/root") {
  ::mkdir(root_.c_str(), 0700);
}

bool Service::start(std::vector<std::string> env, int parent, uint64_t descriptorLimit) {
  if (std::ranges::none_of(env, [](auto& e) { return e.starts_with("XDG_RUNTIME_DIR="); }))
    env.insert(env.end(), {"XDG_RUNTIME_DIR=" + base_.path(),
                           "PIPEWIRE_REMOTE=" + base_.path() + "/no-audio-server"});
  std::vector<std::string> argv{VA_BINARY, "serve",        "--root",
                                root_,     "--parent-pid", std::to_string(parent)};
  if (descriptorLimit > 0) { // prlimit sets the limits and runs the service in its place
    std::string limit = std::to_string(descriptorLimit);
    argv.insert(argv.begin(), {"/usr/bin/prlimit", "--nofile=" + limit + ":" + limit});
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

Reply Service::call(std::string_view method, const std::string& path, std::string_view body) const {
  std::string raw = testing_support::roundTrip(
      port,
      std::string(method) + " " + path + " HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer " + token +
          "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + std::string(body),
      60s);
  Reply reply;
  if (!raw.starts_with("HTTP/1.1 ") || raw.size() < 12)
    return reply;
  reply.status = std::atoi(raw.c_str() + 9);
  if (size_t at = raw.find("\r\n\r\n"); at != std::string::npos)
    reply.json = parseJson(std::string_view(raw).substr(at + 4)).value_or(Json());
  return reply;
}

std::string Service::create(const Json& body) const {
  Reply created = call("POST", "/captures", body.dump());
  EXPECT_EQ(created.status, 201) << created.json;
  return created.status == 201 ? created.json.value("captureId", std::string()) : "";
}

std::string Service::events(const std::string& capture) const {
  Reply all = call("GET", "/captures/" + capture + "/events?after=0");
  return all.json.dump();
}

Json Service::awaitEvent(const std::string& capture, const std::string& type, int64_t& from) const {
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

std::string Service::finish() {
  process_->signal(SIGTERM);
  EXPECT_EQ(process_->wait(30s), 0);
  return process_->drainStderr();
}

bool Service::record(const std::vector<std::string>& env, Json tracks) {
  tracks["dir"] = root_ + "/rec";
  return start(env) && !(id = create(tracks)).empty();
}

Json toneCapture(const std::string& dir, int segmentSeconds) {
  return {{"dir", dir},
          {"segmentSeconds", segmentSeconds},
          {"remote", {{"strategy", "test-tone"}, {"match", {{"bundleIds", {"org.example.x"}}}}}}};
}

bool newestSegmentHolds(const std::string& dir, size_t segments, double seconds) {
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

bool growsBy(const std::string& dir, double seconds) {
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

testing::AssertionResult holds(const Json& event, const Json& fields) {
  Json patched = event;
  patched.merge_patch(fields);
  if (patched == event)
    return testing::AssertionSuccess();
  return testing::AssertionFailure() << event << " lacks " << fields;
}

testing::AssertionResult isTone(std::span<const float> audio, int hz,
                                const std::vector<int>& absent) {
  if (audio.size() < 8000)
    return testing::AssertionFailure() << "only " << audio.size() << " samples";
  if (double level = toneAmplitude(audio, 16000, hz); std::abs(level - 0.5) > 0.05)
    return testing::AssertionFailure() << hz << " Hz at " << level;
  for (int other : absent)
    if (double level = toneAmplitude(audio, 16000, other); level >= 0.01)
      return testing::AssertionFailure() << other << " Hz at " << level << " beside " << hz;
  return testing::AssertionSuccess();
}

testing::AssertionResult endsOnTone(const std::string& dir, int hz,
                                    const std::vector<int>& absent) {
  std::vector<float> audio = testing_support::toFloat(testing_support::readTrack(dir).samples);
  return isTone(std::span(audio).last(std::min<size_t>(audio.size(), 8000)), hz, absent);
}

} // namespace va::e2e
