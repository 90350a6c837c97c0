#include "api/router.h"

#include "api/capture_request.h"
#include "api/capture_sources.h"
#include "api/root.h"
#include "core/decimal.h"
#include "core/log.h"
#include "decode/decode.h"
#include "http/text.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <set>
#include <sys/stat.h>
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

constexpr int64_t kMaxWaitSeconds = 25;

// What one recording track writes in a minute: 16 kHz, 2 bytes a frame. A decode must leave at
// least this much free per track.
constexpr uint64_t kTrackMinuteBytes = uint64_t{kWavRateHz} * 2 * 60;

// The answer to a path that was not confined; `field` names it in the request.
HTTPResponse refused(Refusal refusal, std::string_view field) {
  switch (refusal) {
  case Refusal::busy:
    return HTTPResponse::error(503, "busy", {}, field);
  case Refusal::missing:
    return HTTPResponse::error(403, "outside_root",
                               "A directory on the way to it does not exist: its parent must "
                               "exist below the root.",
                               field);
  case Refusal::outside:
    break;
  }
  return HTTPResponse::error(403, "outside_root",
                             "It does not lie below the root, or it is a symbolic link.", field);
}

// After a failed call on a confined path: short of descriptors or memory is no confinement
// refusal.
HTTPResponse refusedNow(std::string_view field) {
  return refused(outOfResources(errno) ? Refusal::busy : Refusal::outside, field);
}

HTTPResponse badRequest(const JsonProblem& problem) {
  return HTTPResponse::error(400, "bad_request", problem.message, problem.field);
}

HTTPResponse unknownCapture() {
  return HTTPResponse::error(404, "not_found",
                             "No capture has this id (a stopped one is forgotten after an hour).");
}

// Whether `tracks` and `tracks/<track>` below a capture directory are, where they exist, plain
// directories and not links or other files.
bool plainDirectories(int captureDir, const char* track) {
  struct stat info {};
  if (::fstatat(captureDir, "tracks", &info, AT_SYMLINK_NOFOLLOW) != 0)
    return errno == ENOENT;
  if (!S_ISDIR(info.st_mode))
    return false;
  UniqueFd tracks(::openat(captureDir, "tracks", O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!tracks)
    return false;
  if (::fstatat(tracks.get(), track, &info, AT_SYMLINK_NOFOLLOW) != 0)
    return errno == ENOENT;
  return S_ISDIR(info.st_mode);
}

constexpr std::array<std::string_view, 6> kFlatPaths = {"health",   "capabilities", "decode",
                                                        "captures", "sources",      "permissions"};

} // namespace

Router::Router(std::string version, std::shared_ptr<const Root> root, RouterPlatform platform,
               std::shared_ptr<Captures> captures, MicStatus micStatus, size_t maxDecodes)
    : version_(std::move(version)), root_(std::move(root)), platform_(std::move(platform)),
      captures_(std::move(captures)),
      micStatus_(micStatus ? std::move(micStatus) : MicStatus([mic = platform_.mic] {
        return mic ? mic->status() : std::string("not_determined");
      })),
      maxDecodes_(maxDecodes) {}

HTTPResponse Router::handle(const HTTPRequest& request) {
  std::vector<std::string> p = pieces(request.path);
  const std::string& method = request.method;

  if (p.size() == 3 && p[0] == "captures" &&
      (p[2] == "stop" || p[2] == "events" || p[2] == "levels")) {
    if (method == "POST" && p[2] == "stop")
      return stopCapture(p[1]);
    if (method == "GET" && p[2] == "events")
      return events(p[1], request.query);
    if (method == "GET" && p[2] == "levels")
      return levels(p[1]);
    return HTTPResponse::error(405, "method_not_allowed",
                               p[2] == "stop" ? "Stop a capture with POST." : "Use GET.");
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
  if (method == "GET" && joined == "captures")
    return listCaptures();
  if (method == "GET" && joined == "sources")
    return sources();
  if (method == "GET" && joined == "permissions")
    return permissions();

  for (std::string_view known : kFlatPaths)
    if (joined == known)
      return HTTPResponse::error(405, "method_not_allowed");
  return HTTPResponse::error(404, "not_found", "There is no such route: " + method + " /" + joined);
}

bool Router::answersAtOnce(const HTTPRequest& request) const {
  std::vector<std::string> p = pieces(request.path);
  return request.method == "GET" && ((p.size() == 1 && p[0] == "health") ||
                                     (p.size() == 3 && p[0] == "captures" && p[2] == "levels"));
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
  return HTTPResponse{200, CaptureSources::json(*platform_.devices, *platform_.applications,
                                                platform_.processes.get())};
}

HTTPResponse Router::listCaptures() const {
  std::vector<std::shared_ptr<Capture>> all = captures_->all();
  std::ranges::sort(all, {}, &Capture::startedAtNs);
  Json list = Json::array();
  for (const std::shared_ptr<Capture>& capture : all) {
    Json tracks = Json::array();
    for (const Capture::Track& track : capture->tracks())
      tracks.push_back(track.name);
    std::optional<uint64_t> stopped = capture->stoppedAtNs();
    list.push_back(Json{{"captureId", capture->id()},
                        {"dir", capture->dir()},
                        {"tracks", std::move(tracks)},
                        {"recording", !stopped},
                        {"startNs", capture->startedAtNs()},
                        {"stoppedNs", stopped ? Json(*stopped) : Json(nullptr)}});
  }
  return HTTPResponse{200, Json{{"captures", std::move(list)}}};
}

HTTPResponse Router::createCapture(const std::string& body) {
  auto request = parseCaptureRequest(body);
  if (!request)
    return badRequest(request.error());
  CaptureSpec* spec = &request->spec;
  if (!root_)
    return HTTPResponse::error(403, "outside_root", "The service has no root.", "dir");
  std::expected<ConfinedPath, Refusal> dir = root_->contains(spec->dir);
  if (!dir)
    return refused(dir.error(), "dir");

  // Everything from here is reached through the parent's descriptor, and no link is followed:
  // one that appeared since the confinement is refused.
  struct stat info {};
  if (::fstatat(dir->parent.get(), dir->name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0) {
    if (S_ISLNK(info.st_mode))
      return refused(Refusal::outside, "dir");
    if (!S_ISDIR(info.st_mode))
      return badRequest({"dir", "\"dir\" names something that is not a directory."});
  } else if (::mkdirat(dir->parent.get(), dir->name.c_str(), 0700) != 0) {
    return refusedNow("dir");
  }
  UniqueFd captureDir(::openat(dir->parent.get(), dir->name.c_str(),
                               O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!captureDir)
    return refusedNow("dir");
  // The capture directory may hold what an earlier capture left; a link planted where a track
  // directory goes is refused rather than written through.
  errno = 0;
  if ((spec->mic && !plainDirectories(captureDir.get(), "mic")) ||
      (spec->remote && !plainDirectories(captureDir.get(), "remote")))
    return outOfResources(errno)
               ? HTTPResponse::error(503, "busy")
               : badRequest({"dir", "\"dir\" holds a link or a file where a track's directory "
                                    "goes."});
  spec->dir = dir->path;
  spec->directory =
      std::make_shared<const CaptureDirectory>(CaptureDirectory{.parent = std::move(dir->parent),
                                                                .name = dir->name,
                                                                .dir = std::move(captureDir),
                                                                .path = dir->path,
                                                                .root = root_->fd(),
                                                                .below = dir->below});

  auto capture = captures_->create(*spec);
  if (capture)
    return HTTPResponse{201, Json{{"captureId", (*capture)->id()},
                                  {"ignoredFields", std::move(request->ignoredFields)}}};
  switch (capture.error().kind) {
  case CreateError::Kind::microphoneDenied:
    return HTTPResponse::error(409, "microphone_denied", {}, "mic");
  case CreateError::Kind::unsupportedStrategy:
    return HTTPResponse::error(422, "unsupported_strategy", {}, "remote.strategy");
  case CreateError::Kind::directoryBusy:
    return HTTPResponse::error(409, "dir_busy", {}, "dir");
  case CreateError::Kind::tooManyCaptures:
    return HTTPResponse::error(503, "too_many_captures");
  case CreateError::Kind::busy:
    log("capture could not start: " + capture.error().text());
    return HTTPResponse::error(503, "busy");
  case CreateError::Kind::failed:
    break;
  }
  log("capture could not start: " + capture.error().text());
  return HTTPResponse::error(500, "capture_failed");
}

HTTPResponse Router::stopCapture(const std::string& id) {
  std::optional<Json> summary = captures_->stop(id);
  if (!summary)
    return unknownCapture();
  return HTTPResponse{200, std::move(*summary)};
}

HTTPResponse Router::events(const std::string& id,
                            const std::map<std::string, std::string>& query) {
  std::shared_ptr<Capture> capture = captures_->find(id);
  if (!capture)
    return unknownCapture();
  auto read = [&query](const char* key) -> std::optional<int64_t> {
    auto it = query.find(key);
    return it == query.end() ? 0 : parseDecimal<int64_t>(it->second);
  };
  std::optional<int64_t> after = read("after");
  if (!after || *after < 0)
    return badRequest({"after", "\"after\" must be a whole number of at least 0."});
  std::optional<int64_t> wait = read("wait");
  if (!wait || *wait < 0 || *wait > kMaxWaitSeconds)
    return badRequest({"wait", "\"wait\" must be a whole number of seconds from 0 to 25."});

  std::vector<CaptureEvent> found =
      *wait > 0 ? capture->events()->wait(*after, static_cast<double>(*wait))
                : capture->events()->snapshot(*after);
  Json list = Json::array();
  for (const CaptureEvent& event : found)
    list.push_back(event.json());
  int64_t next = found.empty() ? *after : found.back().seq;
  return HTTPResponse{200, Json{{"events", std::move(list)}, {"next", next}}};
}

HTTPResponse Router::levels(const std::string& id) const {
  std::shared_ptr<Capture> capture = captures_->find(id);
  if (!capture)
    return unknownCapture();
  Json tracks = Json::object();
  for (const auto& [name, level] : capture->levels()->snapshot())
    tracks[name] = Json{{"rmsDb", level.rmsDb}, {"peakDb", level.peakDb}, {"tNs", level.tNs}};
  return HTTPResponse{200,
                      Json{{"recording", capture->isRecording()}, {"tracks", std::move(tracks)}}};
}

HTTPResponse Router::decode(const std::string& body) {
  std::optional<Json> request = parseJson(body);
  if (!request || !request->is_object())
    return badRequest({"", "The body must be a JSON object."});
  auto input = request->find("input");
  auto output = request->find("output");
  if (input == request->end() || !input->is_string())
    return badRequest({"input", "\"input\" must be the path of an audio file."});
  if (output == request->end() || !output->is_string())
    return badRequest({"output", "\"output\" must be the path of the WAV file to write."});
  if (!text::toLower(output->get<std::string>()).ends_with(".wav"))
    return badRequest({"output", "\"output\" must end in \".wav\"."});
  if (!root_)
    return HTTPResponse::error(403, "outside_root", "The service has no root.", "input");
  std::vector<std::string> ignored;
  unknownKeys(*request, {"input", "output"}, "", ignored);

  // A decode holds several descriptors for as long as it runs: only so many run at once, so
  // that they stay within the share kept for them.
  if (decodes_.fetch_add(1) >= maxDecodes_) {
    decodes_.fetch_sub(1);
    return HTTPResponse::error(503, "busy");
  }
  struct Slot {
    std::atomic<size_t>& decodes;
    ~Slot() { decodes.fetch_sub(1); }
  } slot{decodes_};

  std::expected<ConfinedPath, Refusal> from = root_->contains(input->get<std::string>());
  if (!from)
    return refused(from.error(), "input");
  std::expected<ConfinedPath, Refusal> to = root_->contains(output->get<std::string>());
  if (!to)
    return refused(to.error(), "output");
  std::optional<bool> recording = intoRecording(*to);
  if (!recording)
    return HTTPResponse::error(503, "busy");
  if (*recording)
    return HTTPResponse::error(
        409, "dir_busy", "The output lies in the directory of a recording capture.", "output");

  auto started = std::chrono::steady_clock::now();
  Decode::Limits limits{.maxFrames = Decode::kMaxFrames,
                        .keepFree = [this] { return recordingMinuteBytes(); }};
  std::expected<int64_t, Decode::Failure> frames =
      Decode::run({from->parent.get(), from->name, from->path},
                  {to->parent.get(), to->name, to->path}, FileIO::posix(), limits);
  if (!frames) {
    switch (frames.error()) {
    case Decode::Failure::unsupported:
      return HTTPResponse::error(415, "unsupported_format", {}, "input");
    case Decode::Failure::busy:
      return HTTPResponse::error(503, "busy");
    case Decode::Failure::tooLarge:
      return HTTPResponse::error(422, "too_large");
    case Decode::Failure::noSpace:
      return HTTPResponse::error(507, "insufficient_storage");
    case Decode::Failure::unreadable:
      break;
    }
    return HTTPResponse::error(422, "unreadable", {}, "input");
  }
  double elapsed =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  double seconds = static_cast<double>(*frames) / kWavRateHz;
  char line[128];
  std::snprintf(line, sizeof line, "decoded %lld frames (%.1f s) in %.2f s",
                static_cast<long long>(*frames), seconds, elapsed);
  log(line);
  return HTTPResponse{
      200,
      Json{{"frames", *frames}, {"durationS", seconds}, {"ignoredFields", std::move(ignored)}}};
}

std::optional<bool> Router::intoRecording(const ConfinedPath& output) {
  // Claimed directories, a capture's remade ones included, by (device, inode).
  const std::set<DirectoryKey> recording = captures_->claimedDirectories();
  if (recording.empty())
    return false;
  // The output's directory and each one above it below the root: as many as `below` names.
  const auto depth = std::count(output.below.begin(), output.below.end(), '/');
  UniqueFd up;
  int at = output.parent.get();
  for (ptrdiff_t level = 0; level < depth; ++level) {
    struct stat info {};
    if (::fstat(at, &info) != 0)
      return std::nullopt;
    if (recording.contains({info.st_dev, info.st_ino}))
      return true;
    up = UniqueFd(::openat(at, "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!up)
      return outOfResources(errno) ? std::nullopt : std::optional<bool>(false);
    at = up.get();
  }
  return false;
}

uint64_t Router::recordingMinuteBytes() const {
  uint64_t tracks = 0;
  for (const std::shared_ptr<Capture>& capture : captures_->all())
    if (capture->isRecording())
      tracks += capture->tracks().size();
  return tracks * kTrackMinuteBytes;
}

} // namespace va
