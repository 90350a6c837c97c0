#pragma once

#include "core/json.h"
#include "platform/tap_io.h"

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
  // The matching processes in their given order: an exact identity, else a prefix
  // (case-sensitive); a process without an identity never matches. Running state plays no part.
  std::vector<AudioProcessInfo> select(const std::vector<AudioProcessInfo>& processes) const;
};

} // namespace va
