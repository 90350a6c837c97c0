#include "api/capture_request.h"

#include <algorithm>
#include <cmath>
#include <optional>

namespace va {

namespace {

constexpr int64_t kMinSegmentSeconds = 1;
constexpr int64_t kMaxSegmentSeconds = 3600;

// A JSON number with a whole value in range: 30 and 30.0 pass, 1.5 and "30" do not.
std::optional<int64_t> segmentSeconds(const Json& value) {
  double seconds;
  if (value.is_number_unsigned())
    seconds = value.get<uint64_t>() > static_cast<uint64_t>(kMaxSegmentSeconds)
                  ? kMaxSegmentSeconds + 1
                  : static_cast<double>(value.get<uint64_t>());
  else if (value.is_number_integer())
    seconds = static_cast<double>(value.get<int64_t>());
  else if (value.is_number_float())
    seconds = value.get<double>();
  else
    return std::nullopt;
  if (std::floor(seconds) != seconds || seconds < kMinSegmentSeconds ||
      seconds > kMaxSegmentSeconds)
    return std::nullopt;
  return static_cast<int64_t>(seconds);
}

} // namespace

std::expected<CaptureRequest, JsonProblem> parseCaptureRequest(std::string_view body) {
  auto problem = [](std::string field, std::string message) {
    return std::unexpected(JsonProblem{std::move(field), std::move(message)});
  };
  std::optional<Json> parsed = parseJson(body);
  if (!parsed || !parsed->is_object())
    return problem("", "The body must be a JSON object.");
  const Json& request = *parsed;
  CaptureRequest out;
  CaptureSpec& spec = out.spec;
  unknownKeys(request, {"dir", "segmentSeconds", "mic", "remote"}, "", out.ignoredFields);

  auto dir = request.find("dir");
  if (dir == request.end() || !dir->is_string() || !dir->get<std::string>().starts_with("/"))
    return problem("dir", "\"dir\" must be an absolute path (a string beginning with \"/\").");
  spec.dir = dir->get<std::string>();

  if (auto seconds = request.find("segmentSeconds"); seconds != request.end()) {
    auto whole = segmentSeconds(*seconds);
    if (!whole)
      return problem("segmentSeconds", "\"segmentSeconds\" must be a whole number from 1 to 3600.");
    spec.segmentSeconds = *whole;
  }

  if (auto mic = request.find("mic"); mic != request.end() && !mic->is_null()) {
    if (!mic->is_object())
      return problem("mic", "\"mic\" must be an object (empty for the default input) or null.");
    unknownKeys(*mic, {"deviceUid", "echoCancellation", "keepRaw"}, "mic", out.ignoredFields);
    CaptureSpec::Mic wanted;
    if (auto uid = mic->find("deviceUid"); uid != mic->end() && !uid->is_null()) {
      if (!uid->is_string() || uid->get<std::string>().empty())
        return problem("mic.deviceUid",
                       "\"mic.deviceUid\" must be a non-empty string, or null for the default "
                       "input.");
      wanted.deviceUid = uid->get<std::string>();
    }
    for (auto [key, flag] : {std::pair{"echoCancellation", &wanted.echoCancellation},
                             std::pair{"keepRaw", &wanted.keepRaw}})
      if (auto value = mic->find(key); value != mic->end() && !value->is_null()) {
        if (!value->is_boolean())
          return problem(jsonPath("mic", key),
                         "\"" + jsonPath("mic", key) + "\" must be true or false.");
        *flag = value->get<bool>();
      }
    spec.mic = wanted;
  }

  if (auto remote = request.find("remote"); remote != request.end() && !remote->is_null()) {
    if (!remote->is_object())
      return problem("remote", "\"remote\" must be an object or null.");
    unknownKeys(*remote, {"strategy", "match"}, "remote", out.ignoredFields);
    auto strategy = remote->find("strategy");
    if (strategy == remote->end() || !strategy->is_string() || strategy->get<std::string>().empty())
      return problem("remote.strategy",
                     "\"remote.strategy\" must name a strategy, such as \"process-tap\".");
    auto matchJson = remote->find("match");
    if (matchJson == remote->end() || !matchJson->is_object())
      return problem("remote.match", "\"remote.match\" must be an object with \"bundleIds\".");
    std::vector<std::string> ignored;
    auto match = ProcessMatch::fromJson(*matchJson, &ignored);
    if (!match) {
      std::string field = jsonPath("remote.match", match.error().field);
      return problem(field, "\"" + field + "\" " + match.error().message + ".");
    }
    for (const std::string& key : ignored)
      out.ignoredFields.push_back(jsonPath("remote.match", key));
    spec.remote = CaptureSpec::Remote{strategy->get<std::string>(), std::move(*match)};
  }

  if (!spec.mic && !spec.remote)
    return problem("", "A capture needs a \"mic\" or a \"remote\" object.");
  std::ranges::sort(out.ignoredFields);
  return out;
}

} // namespace va
