#pragma once

#include "core/json.h"

#include <optional>
#include <string>
#include <vector>

namespace va {

// Which applications a remote track records: exact identities and identity prefixes, as the
// client sent them (order, duplicates and case kept).
struct ProcessMatch {
  std::vector<std::string> bundleIds;
  std::vector<std::string> bundlePrefixes;
  bool deferUntilIO = true; // arm only once the application does audio I/O and keeps it up

  bool operator==(const ProcessMatch&) const = default;

  // The "match" object of a create request; nothing when it is not a valid match.
  static std::optional<ProcessMatch> fromJson(const Json& object);
  // {"bundleIds", "bundlePrefixes", "deferUntilIO"}
  Json json() const;
};

} // namespace va
