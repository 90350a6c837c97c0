#include "e2e/service_process.h"

#include "support/socket_client.h"

#include <cstdlib>
#include <gtest/gtest.h>

namespace va::e2e {

RunningService startService(const std::string& root, int parentPid,
                            std::vector<std::string> extraEnv, uint64_t descriptorLimit) {
  RunningService s;
  // Unless told otherwise, the service finds no audio server: never the user's own.
  bool ownAudio = false;
  for (const std::string& entry : extraEnv)
    ownAudio = ownAudio || entry.starts_with("XDG_RUNTIME_DIR=");
  if (!ownAudio) {
    std::string empty = makeTempDir("no-audio-");
    extraEnv.push_back("XDG_RUNTIME_DIR=" + empty);
    extraEnv.push_back("PIPEWIRE_REMOTE=" + empty + "/none");
  }
  std::vector<std::string> argv{VA_BINARY, "serve",        "--root",
                                root,      "--parent-pid", std::to_string(parentPid)};
  if (descriptorLimit > 0) // prlimit sets the limits and runs the service in its place
    argv.insert(argv.begin(), {"/usr/bin/prlimit", "--nofile=" + std::to_string(descriptorLimit) +
                                                       ":" + std::to_string(descriptorLimit)});
  s.process = std::make_unique<testing_support::ChildProcess>(std::move(argv), std::move(extraEnv));
  auto line = s.process->readStdoutLine(std::chrono::seconds(30));
  if (!line)
    return s;
  s.readyLine = *line;
  constexpr std::string_view kPrefix = "VELMORRANT_AUDIO_READY ";
  if (!s.readyLine.starts_with(kPrefix))
    return s;
  auto object = parseJson(std::string_view(s.readyLine).substr(kPrefix.size()));
  if (!object)
    return s;
  s.ready = *object;
  s.port = s.ready.value("port", uint16_t{0});
  s.token = s.ready.value("token", std::string());
  return s;
}

Reply call(const RunningService& service, std::string_view method, std::string_view path,
           std::string_view body) {
  std::string request = std::string(method) + " " + std::string(path) +
                        " HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer " + service.token +
                        "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
                        std::string(body);
  std::string raw = testing_support::roundTrip(service.port, request, std::chrono::seconds(60));
  Reply reply;
  if (!raw.starts_with("HTTP/1.1 ") || raw.size() < 12)
    return reply;
  reply.status = std::atoi(raw.c_str() + 9);
  size_t bodyAt = raw.find("\r\n\r\n");
  if (bodyAt != std::string::npos)
    reply.json = parseJson(std::string_view(raw).substr(bodyAt + 4)).value_or(Json());
  return reply;
}

std::string makeTempDir(const std::string& prefix) {
  std::string templ = ::testing::TempDir() + "/" + prefix + "XXXXXX";
  if (!mkdtemp(templ.data()))
    return {};
  return templ;
}

} // namespace va::e2e
