#include "api/capture_request.h"

#include <cmath>

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

std::optional<CaptureSpec> parseCaptureRequest(std::string_view body) {
  std::optional<Json> parsed = parseJson(body);
  if (!parsed || !parsed->is_object())
    return std::nullopt;
  const Json& request = *parsed;
  CaptureSpec spec;

  auto dir = request.find("dir");
  if (dir == request.end() || !dir->is_string() || !dir->get<std::string>().starts_with("/"))
    return std::nullopt;
  spec.dir = dir->get<std::string>();

  if (auto seconds = request.find("segmentSeconds"); seconds != request.end()) {
    auto whole = segmentSeconds(*seconds);
    if (!whole)
      return std::nullopt;
    spec.segmentSeconds = *whole;
  }

  if (auto mic = request.find("mic"); mic != request.end() && !mic->is_null()) {
    if (!mic->is_object())
      return std::nullopt;
    CaptureSpec::Mic wanted;
    if (auto uid = mic->find("deviceUid"); uid != mic->end() && !uid->is_null()) {
      if (!uid->is_string() || uid->get<std::string>().empty())
        return std::nullopt;
      wanted.deviceUid = uid->get<std::string>();
    }
    for (auto [key, flag] : {std::pair{"echoCancellation", &wanted.echoCancellation},
                             std::pair{"keepRaw", &wanted.keepRaw}})
      if (auto value = mic->find(key); value != mic->end() && !value->is_null()) {
        if (!value->is_boolean())
          return std::nullopt;
        *flag = value->get<bool>();
      }
    spec.mic = wanted;
  }

  if (auto remote = request.find("remote"); remote != request.end() && !remote->is_null()) {
    if (!remote->is_object())
      return std::nullopt;
    auto strategy = remote->find("strategy");
    if (strategy == remote->end() || !strategy->is_string() || strategy->get<std::string>().empty())
      return std::nullopt;
    auto matchJson = remote->find("match");
    if (matchJson == remote->end() || !matchJson->is_object())
      return std::nullopt;
    auto match = ProcessMatch::fromJson(*matchJson);
    if (!match)
      return std::nullopt;
    spec.remote = CaptureSpec::Remote{strategy->get<std::string>(), std::move(*match)};
  }

  if (!spec.mic && !spec.remote)
    return std::nullopt;
  return spec;
}

} // namespace va
