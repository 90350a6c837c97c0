#include "core/json.h"

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

std::optional<Json> parseJson(std::string_view text) {
  Json value = Json::parse(text, nullptr, false);
  if (value.is_discarded())
    return std::nullopt;
  return value;
}

} // namespace va
