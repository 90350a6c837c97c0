// Fuzz target for the create-capture body. Any bytes are refused by the parser or give a parsed
// request that keeps every promise of the validation; sent as the body of POST /captures to
// a Router over a registry with fake strategies, they get one of the documented answers, create
// nothing outside the root, and leave no strategy running. Nothing throws.
//
// "@root" in the input stands for the root of this process (a fresh temporary directory), so
// that corpus inputs can name paths below it.

#include "api/capture_request.h"
#include "api/router.h"

#include "fuzz_check.h"

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

// <work>/root is the router's root: "sub" a directory, "file" a plain file, "inner" a link to
// "sub", "link" a link to <work>/outside, which stays empty. Removed at exit, kept after a crash.
struct Sandbox {
  std::string work;
  std::string root;
  std::string realRoot; // as the router resolves it
  std::string outside;

  Sandbox() {
    std::string templ = "/tmp/va-capture-fuzz-XXXXXX";
    check(mkdtemp(templ.data()) != nullptr);
    work = templ;
    root = work + "/root";
    outside = work + "/outside";
    check(::mkdir(root.c_str(), 0700) == 0 && ::mkdir(outside.c_str(), 0700) == 0);
    check(::mkdir((root + "/sub").c_str(), 0700) == 0);
    check(std::ofstream(root + "/file").good());
    check(::symlink("sub", (root + "/inner").c_str()) == 0);
    check(::symlink(outside.c_str(), (root + "/link").c_str()) == 0);
    char resolved[PATH_MAX];
    check(::realpath(root.c_str(), resolved) != nullptr);
    realRoot = resolved;
  }
  ~Sandbox() {
    std::error_code ignored;
    fs::remove_all(work, ignored);
  }

  // Back to the fixtures alone, so that every input meets the same tree.
  void reset() const {
    static const std::set<std::string> kFixtures = {"sub", "file", "inner", "link"};
    std::vector<fs::path> doomed;
    for (const auto& dir : {root, root + "/sub"})
      for (const fs::path& entry : entries(dir))
        if (dir != root || !kFixtures.contains(entry.filename().string()))
          doomed.push_back(entry);
    std::error_code error;
    for (const fs::path& path : doomed)
      check(fs::remove_all(path, error) != static_cast<std::uintmax_t>(-1) && !error);
  }

  bool isBelowRoot(const std::string& path) const {
    char resolved[PATH_MAX];
    return ::realpath(path.c_str(), resolved) && std::string(resolved).starts_with(realRoot + "/");
  }

  // Nothing escaped: <work> holds only root and outside, and outside is empty.
  void checkNothingOutside() const { check(entries(work).size() == 2 && entries(outside).empty()); }

  // The entries of a directory, without throwing.
  static std::vector<fs::path> entries(const std::string& dir) {
    std::vector<fs::path> out;
    std::error_code error;
    for (auto it = fs::directory_iterator(dir, error); !error && it != fs::directory_iterator();
         it.increment(error))
      out.push_back(it->path());
    check(!error);
    return out;
  }
};

const Sandbox& sandbox() {
  static const Sandbox box;
  return box;
}

// Every strategy one registry made, and what was done to it.
struct Ledger {
  struct Entry {
    int starts = 0;
    int stops = 0;
    bool started = false; // a start succeeded
  };
  std::vector<std::shared_ptr<Entry>> made;
};

class FakeStrategy final : public va::CaptureStrategy {
public:
  FakeStrategy(std::shared_ptr<Ledger::Entry> entry, bool startWorks)
      : entry_(std::move(entry)), startWorks_(startWorks) {}

  std::expected<void, va::CaptureError> start(std::shared_ptr<va::AudioSink> sink,
                                              std::shared_ptr<va::EventLog> events) override {
    check(sink && events);
    ++entry_->starts;
    if (!startWorks_)
      return std::unexpected(va::CaptureError{"fake start failure"});
    entry_->started = true;
    return {};
  }
  void stop() override { ++entry_->stops; }

private:
  const std::shared_ptr<Ledger::Entry> entry_;
  const bool startWorks_;
};

bool knownStrategy(const std::string& name) {
  return name == "process-tap" || name == "test-tone";
}

// working: the microphone is granted and every strategy starts. refusing: the microphone is
// denied and every strategy fails to start.
enum class World { working, refusing };

std::shared_ptr<va::Captures> makeRegistry(World world, const std::shared_ptr<Ledger>& ledger) {
  bool works = world == World::working;
  auto make = [ledger, works]() -> std::shared_ptr<va::CaptureStrategy> {
    ledger->made.push_back(std::make_shared<Ledger::Entry>());
    return std::make_shared<FakeStrategy>(ledger->made.back(), works);
  };
  return std::make_shared<va::Captures>(
      va::Captures::Factories{
          .micStatus = [works] { return std::string(works ? "granted" : "denied"); },
          .makeMic = [make](std::optional<std::string>) { return make(); },
          .makeRemote = [make](const std::string& name, const va::ProcessMatch&)
              -> std::expected<std::shared_ptr<va::CaptureStrategy>,
                               va::RemoteStrategies::Refusal> {
            if (!knownStrategy(name))
              return std::unexpected(va::RemoteStrategies::Refusal::unsupported);
            return make();
          }},
      std::make_shared<va::MonotonicClock>());
}

va::HTTPResponse post(va::Router& router, std::string path, std::string body) {
  va::HTTPRequest request;
  request.method = "POST";
  request.path = std::move(path);
  request.body = std::move(body);
  return router.handle(request);
}

// The answer is a documented one: 201 {"captureId", "ignoredFields"} or {"error": code,
// "message"} (and "field") with its status.
void checkAnswerShape(const va::HTTPResponse& response) {
  const va::Json& json = response.json;
  check(json.is_object() && json.size() >= 2 && json.size() <= 3);
  if (response.status == 201) {
    auto id = json.find("captureId");
    check(id != json.end() && id->is_string() && !id->get<std::string>().empty());
    auto ignored = json.find("ignoredFields");
    check(json.size() == 2 && ignored != json.end() && ignored->is_array());
    for (const va::Json& path : *ignored)
      check(path.is_string() && !path.get<std::string>().empty());
    return;
  }
  // An error says what is wrong, and where when one field was refused.
  auto error = json.find("error");
  check(error != json.end() && error->is_string());
  auto message = json.find("message");
  check(message != json.end() && message->is_string() && !message->get<std::string>().empty());
  auto field = json.find("field");
  check(json.size() == (field == json.end() ? 2 : 3));
  check(field == json.end() || (field->is_string() && !field->get<std::string>().empty()));
  const std::string code = error->get<std::string>();
  switch (response.status) {
  case 400:
    check(code == "bad_request");
    break;
  case 403:
    check(code == "outside_root");
    break;
  case 409:
    check(code == "microphone_denied");
    break;
  case 422:
    check(code == "unsupported_strategy");
    break;
  case 500:
    check(code == "capture_failed");
    break;
  case 503: // a descriptor, thread or memory the machine could not spare
    check(code == "busy");
    break;
  default:
    check(false);
  }
}

// A created capture lies below the root, has one directory per requested track, and stops
// through the router, the second stop answering as the first.
void checkCreated(const va::Json& answer, const va::CaptureSpec& parsed, va::Captures& registry,
                  va::Router& router) {
  const std::string id = answer["captureId"].get<std::string>();
  std::shared_ptr<va::Capture> capture = registry.find(id);
  check(capture != nullptr && registry.all().size() == 1 && registry.recordingCount() == 1);
  const std::string& dir = capture->dir();
  struct stat info {};
  check(::lstat(dir.c_str(), &info) == 0 && S_ISDIR(info.st_mode));
  check(sandbox().isBelowRoot(dir));
  char resolved[PATH_MAX];
  check(::realpath(dir.c_str(), resolved) && dir == resolved); // canonical, through no link

  std::set<std::string> wanted;
  if (parsed.mic)
    wanted.insert("mic");
  if (parsed.mic && parsed.mic->echoCancellation && parsed.mic->keepRaw)
    wanted.insert("micRaw");
  if (parsed.remote)
    wanted.insert("remote");
  std::set<std::string> names;
  for (const va::Capture::Track& track : capture->tracks()) {
    names.insert(track.name);
    check(::lstat((dir + "/tracks/" + track.name).c_str(), &info) == 0 && S_ISDIR(info.st_mode));
  }
  check(names == wanted && capture->tracks().size() == wanted.size());

  va::HTTPResponse stopped = post(router, "/captures/" + id + "/stop", "");
  check(stopped.status == 200 && stopped.json.contains("tracks"));
  std::set<std::string> summarised;
  for (const auto& [name, totals] : stopped.json["tracks"].items())
    summarised.insert(name);
  check(summarised == wanted);
  check(registry.recordingCount() == 0);
  va::HTTPResponse again = post(router, "/captures/" + id + "/stop", "");
  check(again.status == 200 && again.json == stopped.json);
}

// One POST /captures in one world; returns the status after checking everything it left.
int64_t exercise(World world, const std::string& body,
                 const std::optional<va::CaptureSpec>& parsed) {
  const Sandbox& box = sandbox();
  // Whether the named directory was there before: if it appears, it must be below the root.
  bool namesPath = parsed && parsed->dir.find('\0') == std::string::npos;
  struct stat info {};
  bool existed = namesPath && ::lstat(parsed->dir.c_str(), &info) == 0;

  auto ledger = std::make_shared<Ledger>();
  std::shared_ptr<va::Captures> registry = makeRegistry(world, ledger);
  va::Router router("0.1.0", va::Root::open(box.root).value_or(nullptr), va::RouterPlatform{},
                    registry);
  va::HTTPResponse response = post(router, "/captures", body);
  checkAnswerShape(response);
  check(parsed || response.status == 400);
  if (response.status == 201)
    checkCreated(response.json, *parsed, *registry, router);
  else
    check(registry->all().empty());

  // No strategy is left running or stopped twice.
  for (const auto& entry : ledger->made) {
    check(entry->starts <= 1 && entry->stops <= 1);
    check(!entry->started || entry->stops == 1);
  }
  if (namesPath && !existed && ::lstat(parsed->dir.c_str(), &info) == 0)
    check(box.isBelowRoot(parsed->dir));
  box.checkNothingOutside();
  box.reset();
  return response.status;
}

// The parser's own promises.
void checkParsed(const va::CaptureSpec& parsed) {
  check(parsed.dir.starts_with("/"));
  check(parsed.segmentSeconds >= 1 && parsed.segmentSeconds <= 3600);
  check(parsed.mic || parsed.remote);
  if (parsed.mic && parsed.mic->deviceUid)
    check(!parsed.mic->deviceUid->empty());
  if (parsed.remote) {
    const va::ProcessMatch& match = parsed.remote->match;
    check(!parsed.remote->strategy.empty());
    check(!match.bundleIds.empty() || !match.bundlePrefixes.empty());
    for (const auto* list : {&match.bundleIds, &match.bundlePrefixes})
      for (const std::string& entry : *list)
        check(!entry.empty());
    // The match survives its own JSON form.
    check(va::ProcessMatch::fromJson(match.json()) == match);
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string body(reinterpret_cast<const char*>(data), size);
  constexpr std::string_view kRoot = "@root";
  for (size_t at = body.find(kRoot); at != std::string::npos;
       at = body.find(kRoot, at + sandbox().root.size()))
    body.replace(at, kRoot.size(), sandbox().root);

  auto request = va::parseCaptureRequest(body);
  std::optional<va::CaptureSpec> parsed =
      request ? std::optional<va::CaptureSpec>(request->spec) : std::nullopt;
  if (parsed)
    checkParsed(*parsed);

  int64_t working = exercise(World::working, body, parsed);
  int64_t refusing = exercise(World::refusing, body, parsed);
  // A path the router refuses is refused in every world, for the same reason.
  if (working == 400 || working == 403 || refusing == 400 || refusing == 403) {
    check(working == refusing);
    return 0;
  }
  bool unknown = parsed->remote && !knownStrategy(parsed->remote->strategy);
  check(working == (unknown ? 422 : 201));
  if (parsed->mic)
    check(refusing == 409 || (unknown && refusing == 422));
  else
    check(refusing == (unknown ? 422 : 500));
  return 0;
}
