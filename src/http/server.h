#pragma once

#include "core/work_pool.h"
#include "http/http_request.h"
#include "http/http_response.h"

#include <chrono>
#include <cstdint>
#include <expected>
#include <memory>
#include <string>

namespace va {

struct ServerError {
  std::string description;
};

// Answers authorized requests. Called on the work pool, for many requests at once; may block
// its thread (a long poll). Must not throw.
class RequestHandler {
public:
  virtual ~RequestHandler() = default;
  virtual HTTPResponse handle(const HTTPRequest& request) = 0;
  // True for requests whose answer is immediate and never blocks (the liveness probe): the
  // server then answers them on its connection thread, so a saturated pool cannot delay them.
  virtual bool answersAtOnce(const HTTPRequest&) const { return false; }
};

// The loopback HTTP endpoint: one request per connection, bearer-token check, JSON answers,
// at most `maxConnections` connections at once.
// Threads: the "velmorrant-audio.server" queue owns the listener and every connection (accept,
// reads, parsing, the token check, drains, sends, lingering, deadlines); the
// "velmorrant-audio.work" pool runs the handler, except for requests it answers at once.
class Server {
public:
  static constexpr size_t kReadBytes = 65536;   // most bytes per receive
  static constexpr int64_t kMaxDrain = 8388608; // most body bytes discarded before a 413
  // After a refusal (401, 400, 413, 431, 501) the server shuts its sending side and reads and
  // drops what the client still sends, up to this many bytes or lingerTime, then closes: closing
  // with unread bytes would reset the connection and lose the answer on the client's side.
  static constexpr int64_t kMaxLinger = 1048576;

  static constexpr size_t kMaxConnections = 1024;

  struct Options {
    // From accept to a whole request; then again from the answer to its being sent. The work in
    // between (a decode, a long poll) has no deadline.
    std::chrono::nanoseconds connectionDeadline = std::chrono::seconds(30);
    std::chrono::nanoseconds readyTimeout = std::chrono::seconds(5);
    int64_t maxDrain = kMaxDrain;
    // Most connections open at once, so that no local client can use up the descriptors the
    // recordings need. At the limit, the oldest connection that has not yet delivered its
    // request (or lingers after a refusal) is closed to make room for the next; when every
    // connection is being answered, new ones wait in the listen backlog.
    size_t maxConnections = kMaxConnections;
    std::chrono::nanoseconds lingerTime = std::chrono::seconds(2);
    // The pool that runs handlers; a request it cannot take is answered 503 "busy".
    WorkPool::Options work{};
  };

  Server(std::string token, std::shared_ptr<RequestHandler> router);
  Server(std::string token, std::shared_ptr<RequestHandler> router, Options options);
  // Waits for handler calls still running (they must be able to return).
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Listens on 127.0.0.1 at a port the system chooses; blocks up to readyTimeout. Call once.
  std::expected<uint16_t, ServerError> start();

  // Changes the connection cap (recordings take descriptors from the connections' share): at once,
  // the oldest connections that have not delivered a request are closed down to the new cap.
  // Synchronous; call from any thread but the server queue.
  void setMaxConnections(size_t cap);

  // Closes the listener: no connection is accepted afterwards. Accepted connections go on.
  // Synchronous; call from any thread but the server queue.
  void cancelListener();

  struct Impl;

private:
  std::unique_ptr<Impl> impl_;
};

// The token check: "Bearer " (the name in any case, one space) followed by the token, compared
// in constant time.
bool isAuthorized(const HTTPRequest& request, std::string_view token);

} // namespace va
