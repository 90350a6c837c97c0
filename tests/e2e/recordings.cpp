#include "e2e/recordings.h"

#include "support/audio_files.h"
#include "support/eventually.h"

#include <chrono>
#include <filesystem>
#include <gtest/gtest.h>
#include <unistd.h>

namespace va::e2e {

using namespace std::chrono_literals;
using testing_support::eventually;

std::pair<std::vector<float>, size_t> trackAudio(const std::string& dir) {
  testing_support::TrackFiles files = testing_support::readTrack(dir);
  return {testing_support::toFloat(files.samples), static_cast<size_t>(files.segments)};
}

Json awaitEvent(const RunningService& service, const std::string& id, const std::string& type,
                int64_t& after) {
  auto deadline = std::chrono::steady_clock::now() + 30s;
  while (std::chrono::steady_clock::now() < deadline) {
    Reply reply = call(service, "GET",
                       "/captures/" + id + "/events?after=" + std::to_string(after) + "&wait=5");
    if (reply.status != 200)
      return nullptr;
    for (const Json& event : reply.json["events"]) {
      after = event["seq"];
      if (event["type"] == type)
        return event;
    }
  }
  return nullptr;
}

bool newestSegmentHolds(const std::string& dir, size_t segments, double seconds) {
  return eventually(
      [&] {
        std::vector<std::string> names = testing_support::listDir(dir);
        if (names.size() < segments)
          return false;
        std::error_code error;
        auto size = std::filesystem::file_size(dir + "/" + names.back(), error);
        return !error && size >= 44 + static_cast<uintmax_t>(seconds * 32000);
      },
      30s);
}

std::string CaptureSession::events() const {
  return call(service, "GET", "/captures/" + id + "/events?after=0").json.dump();
}

CaptureSession startCapture(const std::vector<std::string>& env, Json tracks,
                            const std::string& prefix) {
  CaptureSession session;
  session.root = makeTempDir(prefix);
  session.service = startService(session.root, getpid(), env);
  if (session.service.ready.is_null())
    return session;
  tracks["dir"] = session.root + "/rec";
  Reply created = call(session.service, "POST", "/captures", tracks.dump());
  if (created.status == 201)
    session.id = created.json.value("captureId", std::string());
  else
    ADD_FAILURE() << "POST /captures: " << created.status << " " << created.json;
  return session;
}

} // namespace va::e2e
