#pragma once

#include <initializer_list>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

// A refused part of a request body: where (a JSON path such as "mic.deviceUid"; empty for the
// whole body) and why, as a sentence for a person.
struct JsonProblem {
  std::string field;
  std::string message;
};

// "prefix.key" for JSON paths; `prefix` empty gives the key alone.
std::string jsonPath(std::string_view prefix, std::string_view key);

// Adds to `out` the path of every key of `object` that is not `known`, in key order.
void unknownKeys(const Json& object, std::initializer_list<std::string_view> known,
                 std::string_view prefix, std::vector<std::string>& out);

} // namespace va
