#pragma once

#include "core/json.h"
#include "platform/tap_io.h"

#include <expected>
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

  // The "match" object of a create request, or what is wrong with it (the field relative to the
  // object). What it ignores (unknown keys, a prefix list or flag of the wrong type) is added
  // to `ignored`, relative too, when given.
  static std::expected<ProcessMatch, JsonProblem>
  fromJson(const Json& object, std::vector<std::string>* ignored = nullptr);
  // {"bundleIds", "bundlePrefixes", "deferUntilIO"}
  Json json() const;
  // The matching processes in their given order: an exact identity, else a prefix
  // (case-sensitive); a process without an identity never matches. Running state plays no part.
  std::vector<AudioProcessInfo> select(const std::vector<AudioProcessInfo>& processes) const;
};

} // namespace va
