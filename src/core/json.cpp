#include "core/json.h"

#include <algorithm>

namespace va {

std::optional<std::string> writeJson(const Json& value) {
  std::string text;
  try {
    text = value.dump(-1, ' ', false, Json::error_handler_t::replace);
  } catch (...) {
    return std::nullopt;
  }
  // '/' occurs in JSON text only inside strings, so a plain replacement is exact.
  std::string out;
  out.reserve(text.size() + 8);
  for (char c : text) {
    if (c == '/')
      out.push_back('\\');
    out.push_back(c);
  }
  return out;
}

namespace {

// Whether brackets outside strings nest deeper than kMaxJsonDepth. Exact for JSON; other text
// is refused by the parser anyway.
bool nestsTooDeep(std::string_view text) {
  int depth = 0;
  bool inString = false, escaped = false;
  for (char c : text) {
    if (inString) {
      if (escaped)
        escaped = false;
      else if (c == '\\')
        escaped = true;
      else if (c == '"')
        inString = false;
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > kMaxJsonDepth)
        return true;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return false;
}

} // namespace

std::optional<Json> parseJson(std::string_view text) {
  if (nestsTooDeep(text))
    return std::nullopt;
  Json value = Json::parse(text, nullptr, false);
  if (value.is_discarded())
    return std::nullopt;
  return value;
}

std::string jsonPath(std::string_view prefix, std::string_view key) {
  std::string path(prefix);
  if (!path.empty())
    path += '.';
  return path.append(key);
}

void unknownKeys(const Json& object, std::initializer_list<std::string_view> known,
                 std::string_view prefix, std::vector<std::string>& out) {
  if (!object.is_object())
    return;
  for (const auto& [key, value] : object.items())
    if (std::find(known.begin(), known.end(), key) == known.end())
      out.push_back(jsonPath(prefix, key));
}

} // namespace va
