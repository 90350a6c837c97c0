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

// Parses a request body; nothing when it is not JSON.
std::optional<Json> parseJson(std::string_view text);

} // namespace va
