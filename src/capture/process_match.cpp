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

std::expected<ProcessMatch, JsonProblem> ProcessMatch::fromJson(const Json& object,
                                                                std::vector<std::string>* ignored) {
  auto problem = [](const char* field, const char* message) {
    return std::unexpected(JsonProblem{field, message});
  };
  if (!object.is_object())
    return problem("", "must be an object");
  auto ids = stringArray(object, "bundleIds");
  if (!ids)
    return problem("bundleIds", "must be an array of strings");
  // A prefix list of the wrong type counts as absent, and so does a flag that is not a boolean.
  auto prefixes = stringArray(object, "bundlePrefixes");
  if (ids->empty() && (!prefixes || prefixes->empty()))
    return problem("bundleIds", "must name an application, unless bundlePrefixes holds a prefix");
  for (const auto& [list, field] : {std::pair{&*ids, "bundleIds"},
                                    std::pair{prefixes ? &*prefixes : nullptr, "bundlePrefixes"}})
    if (list && std::ranges::any_of(*list, &std::string::empty))
      return problem(field, "must not hold an empty string");
  ProcessMatch match{std::move(*ids), prefixes.value_or(std::vector<std::string>{}), true};
  auto flag = object.find("deferUntilIO");
  if (flag != object.end() && flag->is_boolean())
    match.deferUntilIO = flag->get<bool>();
  if (ignored) {
    unknownKeys(object, {"bundleIds", "bundlePrefixes", "deferUntilIO"}, "", *ignored);
    if (!prefixes && object.contains("bundlePrefixes"))
      ignored->push_back("bundlePrefixes");
    if (flag != object.end() && !flag->is_boolean())
      ignored->push_back("deferUntilIO");
  }
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
