#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace va {

struct ServeOptions {
  std::string root; // as given: not normalised, a trailing slash kept
  int32_t parentPid = 0;
};

// Validates `velmorrant-audio serve --root <abs dir> --parent-pid <pid>` (arguments after the
// program name). The error is the refusal message, without the "velmorrant-audio: " prefix.
// Flags are read left to right; the root is checked (it must be an existing directory, following
// symbolic links) before the parent pid.
std::expected<ServeOptions, std::string> parseCommandLine(std::span<const std::string> args);

} // namespace va
