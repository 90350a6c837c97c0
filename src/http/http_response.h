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

  // {"error": code} with the given status.
  static HTTPResponse error(int64_t status, std::string_view code);
};

} // namespace va
