#include "capture/process_match.h"

#include <algorithm>

namespace va {

namespace {

// A JSON array whose every element is a string.
std::optional<std::vector<std::string>> stringArray(const Json& object, const char* key) {
  auto it = object.find(key);
  if (it == object.end() || !it->is_array())
    return std::nullopt;
  std::vector<std::string> out;
  for (const Json& element : *it) {
    if (!element.is_string())
      return std::nullopt;
    out.push_back(element.get<std::string>());
  }
  return out;
}

} // namespace

std::optional<ProcessMatch> ProcessMatch::fromJson(const Json& object) {
  if (!object.is_object() || object.empty())
    return std::nullopt;
  auto ids = stringArray(object, "bundleIds");
  if (!ids)
    return std::nullopt;
  // A prefix list of the wrong type counts as absent, and so does a flag that is not a boolean.
  auto prefixes = stringArray(object, "bundlePrefixes").value_or(std::vector<std::string>{});
  if (ids->empty() && prefixes.empty())
    return std::nullopt;
  for (const auto* list : {&*ids, &prefixes})
    for (const std::string& entry : *list)
      if (entry.empty())
        return std::nullopt;
  ProcessMatch match{std::move(*ids), std::move(prefixes), true};
  if (auto flag = object.find("deferUntilIO"); flag != object.end() && flag->is_boolean())
    match.deferUntilIO = flag->get<bool>();
  return match;
}

Json ProcessMatch::json() const {
  return Json{
      {"bundleIds", bundleIds}, {"bundlePrefixes", bundlePrefixes}, {"deferUntilIO", deferUntilIO}};
}

std::vector<AudioProcessInfo>
ProcessMatch::select(const std::vector<AudioProcessInfo>& processes) const {
  std::vector<AudioProcessInfo> out;
  for (const AudioProcessInfo& process : processes) {
    const std::string& id = process.bundleID;
    if (id.empty())
      continue;
    if (std::find(bundleIds.begin(), bundleIds.end(), id) != bundleIds.end() ||
        std::any_of(bundlePrefixes.begin(), bundlePrefixes.end(),
                    [&](const std::string& prefix) { return id.starts_with(prefix); }))
      out.push_back(process);
  }
  return out;
}

} // namespace va
