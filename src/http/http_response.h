#pragma once

#include "core/json.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace va {

struct HTTPResponse {
  int64_t status = 200;
  Json json = Json::object();

  // The whole response as sent: status line, Content-Type, Content-Length, Connection: close,
  // blank line, compact sorted JSON. A body that cannot be written becomes "{}".
  std::string serialized() const;

  // "OK", "Not Found", ...; "Status" for a code outside the table.
  static std::string_view reason(int64_t status);

  // {"error": code, "message": a sentence for a person} with the given status, and "field" (the
  // refused part of the request, as a JSON path such as "mic.deviceUid") when one is given. An
  // empty message takes the code's usual one.
  static HTTPResponse error(int64_t status, std::string_view code, std::string_view message = {},
                            std::string_view field = {});
};

} // namespace va
