#pragma once

#include "http/http_request.h"

#include <cstdint>
#include <optional>
#include <string_view>
#include <variant>

namespace va {

// Turns the bytes received so far on a connection into a request, a refusal or "need more".
// parse() is a pure function of its input: no state, no I/O; safe on any thread. A Stream gives
// the same answers for a buffer that grows, in time linear in its length.
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

  // One connection's parse: next(data) answers exactly as parse(data), when each call's `data`
  // begins with the previous call's. The end-of-head search resumes where it stopped and the
  // head is parsed once, so a trickled request costs nothing per byte beyond its own bytes.
  class Stream {
  public:
    Outcome next(std::string_view data);
    // The request of a complete head that was accepted or refused only for its declared length
    // (413), without its body (which may still be on its way); nothing before that, or when the
    // head was refused otherwise. The token is checked on it before anything else.
    const HTTPRequest* head() const {
      return headDone_ && (!refused_ || refused_->status == 413) ? &request_ : nullptr;
    }

  private:
    void parseHead(std::string_view head);

    size_t searched_ = 0; // no CR LF CR LF begins before this offset but within the last 3
    size_t bodyStart_ = 0;
    bool headDone_ = false;
    std::optional<Refuse> refused_; // the head's own verdict (413: its drain is recomputed)
    HTTPRequest request_;           // from the head; the body is added when complete
    int64_t length_ = 0;
  };
};

} // namespace va
