#include "api/router.h"

#include "api/capture_sources.h"

#include <array>
#include <vector>

namespace va {

namespace {

std::vector<std::string> pieces(std::string_view path) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start <= path.size()) {
    size_t slash = path.find('/', start);
    size_t end = slash == std::string_view::npos ? path.size() : slash;
    if (end > start)
      out.emplace_back(path.substr(start, end - start));
    if (slash == std::string_view::npos)
      break;
    start = slash + 1;
  }
  return out;
}

constexpr std::array<std::string_view, 6> kFlatPaths = {"health",   "capabilities", "decode",
                                                        "captures", "sources",      "permissions"};

} // namespace

Router::Router(std::string version, std::optional<std::string> root, RouterPlatform platform,
               MicStatus micStatus)
    : version_(std::move(version)), root_(std::move(root)), platform_(std::move(platform)),
      micStatus_(micStatus ? std::move(micStatus) : MicStatus([mic = platform_.mic] {
        return mic ? mic->status() : std::string("not_determined");
      })) {}

HTTPResponse Router::handle(const HTTPRequest& request) {
  std::vector<std::string> p = pieces(request.path);
  const std::string& method = request.method;

  if (p.size() == 3 && p[0] == "captures" && (p[2] == "stop" || p[2] == "events")) {
    if (method == "POST" && p[2] == "stop")
      return stopCapture(p[1]);
    if (method == "GET" && p[2] == "events")
      return events(p[1], request.query);
    return HTTPResponse::error(405, "method_not_allowed");
  }

  std::string joined;
  for (size_t i = 0; i < p.size(); ++i)
    joined += (i ? "/" : "") + p[i];

  if (method == "GET" && joined == "health")
    return health();
  if (method == "GET" && joined == "capabilities")
    return capabilities();
  if (method == "POST" && joined == "decode")
    return decode(request.body);
  if (method == "POST" && joined == "captures")
    return createCapture(request.body);
  if (method == "GET" && joined == "sources")
    return sources();
  if (method == "GET" && joined == "permissions")
    return permissions();

  for (std::string_view known : kFlatPaths)
    if (joined == known)
      return HTTPResponse::error(405, "method_not_allowed");
  return HTTPResponse::error(404, "not_found");
}

bool Router::answersAtOnce(const HTTPRequest& request) const {
  std::vector<std::string> p = pieces(request.path);
  return request.method == "GET" && p.size() == 1 && p[0] == "health";
}

HTTPResponse Router::health() const {
  return HTTPResponse{200, Json{{"ok", true}, {"version", version_}}};
}

HTTPResponse Router::capabilities() const {
  return HTTPResponse{200, Json{{"os", platform_.system->osVersion()},
                                {"decode", true},
                                {"microphone", true},
                                {"systemAudio", platform_.system->systemAudioAvailable()}}};
}

HTTPResponse Router::permissions() const {
  return HTTPResponse{
      200, Json{{"microphone", micStatus_()},
                {"systemAudio", platform_.permissions->refused() ? "denied" : "unknown"}}};
}

HTTPResponse Router::sources() const {
  return HTTPResponse{200, CaptureSources::json(*platform_.devices, *platform_.applications)};
}

// Captures and decoding are not part of this build yet: say so rather than pretend.
HTTPResponse Router::createCapture(const std::string&) {
  return HTTPResponse::error(501, "not_implemented");
}

HTTPResponse Router::stopCapture(const std::string&) {
  return HTTPResponse::error(404, "not_found"); // no capture is ever registered
}

HTTPResponse Router::events(const std::string&, const std::map<std::string, std::string>&) {
  return HTTPResponse::error(404, "not_found");
}

HTTPResponse Router::decode(const std::string&) {
  return HTTPResponse::error(501, "not_implemented");
}

} // namespace va
