#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>

namespace va {

// Objects are std::map based, so keys come out sorted.
using Json = nlohmann::json;

// Compact JSON with sorted keys and every "/" written as "\/". Invalid UTF-8 inside strings (a
// device or application name from the platform) is replaced by U+FFFD per invalid sequence.
// Returns nothing only if the writer fails in some other way.
std::optional<std::string> writeJson(const Json& value);

// Most arrays and objects nested in one another in a parsed text. Deeper text is refused
// before anything is built: each level costs a node, and 1 MB of "[" would cost tens of MB.
constexpr int kMaxJsonDepth = 64;

// Parses a request body; nothing when it is not JSON or nests deeper than kMaxJsonDepth.
std::optional<Json> parseJson(std::string_view text);

} // namespace va
