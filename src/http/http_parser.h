#pragma once

#include "http/http_request.h"

#include <cstdint>
#include <string_view>
#include <variant>

namespace va {

// Turns the bytes received so far on a connection into a request, a refusal or "need more".
// A pure function of its input: no state, no I/O; safe on any thread.
class HTTPParser {
public:
  static constexpr size_t kMaxHeadBytes = 16384;    // request line + headers, without CRLFCRLF
  static constexpr int64_t kMaxBodyBytes = 1048576; // declared Content-Length

  struct Complete {
    HTTPRequest request;
  };
  struct Refuse {
    int64_t status;
    // Declared body bytes not yet received (413 only; 0 otherwise, and may be <= 0 for 413).
    int64_t drain;
    bool operator==(const Refuse&) const = default;
  };
  struct Incomplete {};
  using Outcome = std::variant<Complete, Refuse, Incomplete>;

  // `data` is the whole buffer received so far, from the connection's first byte.
  static Outcome parse(std::string_view data);
};

} // namespace va
