#include "http/server.h"

#include "core/log.h"
#include "core/serial_queue.h"
#include "core/work_pool.h"
#include "http/http_parser.h"
#include "http/token.h"

#include <algorithm>
#include <asio/ip/tcp.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <asio/write.hpp>
#include <condition_variable>
#include <list>
#include <mutex>

namespace va {

using asio::ip::tcp;

namespace {

// One accepted connection. Touched only on the server queue, except that its last owner may drop
// it while the queue is being torn down.
struct Connection {
  Connection(Server::Impl& s, tcp::socket sock)
      : server(s), socket(std::move(sock)), deadline(socket.get_executor()) {}
  ~Connection() { close(); }

  // Cancels the connection and its deadline and gives up its place; harmless twice.
  void close();

  Server::Impl& server;
  tcp::socket socket;
  asio::steady_timer deadline; // to deliver the request; then to take the answer
  std::string buffer;          // everything received so far
  HTTPParser::Stream parser;   // over `buffer`, which only grows
  bool authorized = false;     // the head carried the token (checked once, when it is complete)
  bool closed = false;
  bool waiting = false;                   // no whole request yet, or lingering: may be shed
  std::list<Connection*>::iterator place; // in the server's waiting list while `waiting`
};

std::string errorCode(int64_t status) {
  std::string code;
  for (char c : HTTPResponse::reason(status))
    code.push_back(c == ' ' ? '_' : static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c));
  return code;
}

} // namespace

bool isAuthorized(const HTTPRequest& request, std::string_view token) {
  auto it = request.headers.find("authorization");
  if (it == request.headers.end())
    return false;
  std::string_view value = it->second;
  // The scheme's name in any ASCII case, then exactly one space.
  constexpr std::string_view kScheme = "bearer ";
  if (value.size() < kScheme.size() ||
      !std::equal(kScheme.begin(), kScheme.end(), value.begin(), [](char want, char got) {
        return want == (got >= 'A' && got <= 'Z' ? static_cast<char>(got - 'A' + 'a') : got);
      }))
    return false;
  return Token::equal(value.substr(kScheme.size()), token);
}

// Member order matters: the pool is destroyed (waiting for handler calls) before the queue
// (whose thread owns every socket), and both before the token and router they use.
struct Server::Impl {
  Impl(std::string t, std::shared_ptr<RequestHandler> r, Options o)
      : token(std::move(t)), router(std::move(r)), options(o) {}

  void acceptNext();
  void startConnection(tcp::socket socket);
  void requestArrived(Connection& c);
  void closed(Connection& c);
  void receive(std::shared_ptr<Connection> c);
  void drain(std::shared_ptr<Connection> c, int64_t remaining, std::string response);
  void refuse(std::shared_ptr<Connection> c, int64_t status, std::string_view code);
  // A refusal lingers before closing, for the rest of the request may still be on its way.
  void respond(std::shared_ptr<Connection> c, std::string response, bool refusal = false);
  void linger(std::shared_ptr<Connection> c);
  void discard(std::shared_ptr<Connection> c, int64_t remaining);
  void handOff(std::shared_ptr<Connection> c, HTTPRequest request);
  std::string answer(const HTTPRequest& request);

  const std::string token;
  const std::shared_ptr<RequestHandler> router;
  const Options options;

  // Touched only on `queue`; declared before it because connections that are dropped with the
  // queue leave these lists as they go.
  size_t maxConnections = options.maxConnections; // lowered while recordings need descriptors
  size_t open = 0;
  std::list<Connection*> waiting; // connections without a whole request or lingering, oldest first
  bool acceptPaused = false;      // at the limit with nothing to shed
  std::chrono::steady_clock::time_point limitLogged{};

  SerialQueue queue{"velmorrant-audio.server"};
  WorkPool work{"velmorrant-audio.work", options.work};

  // Touched only on `queue`.
  std::unique_ptr<tcp::acceptor> listener;
  std::unique_ptr<asio::steady_timer> acceptRetry;
  // Drained and lingering reads land here; their bytes are only counted.
  std::unique_ptr<char[]> drainScratch{new char[kReadBytes]};
};

void Server::Impl::acceptNext() {
  if (!listener)
    return;
  listener->async_accept([this](std::error_code ec, tcp::socket socket) {
    if (!listener || ec == asio::error::operation_aborted)
      return;
    if (!ec) {
      startConnection(std::move(socket));
      if (open > maxConnections && waiting.size() > 1)
        waiting.front()->close(); // the oldest that has not delivered its request
      if (open < maxConnections || waiting.size() > 1) {
        acceptNext();
      } else {
        // Nothing older can be shed: new connections wait in the backlog until one closes.
        acceptPaused = true;
      }
      return;
    }
    // Out of descriptors or a transient failure: back off briefly instead of spinning.
    log("accept failed: " + ec.message());
    acceptRetry =
        std::make_unique<asio::steady_timer>(queue.context(), std::chrono::milliseconds(50));
    acceptRetry->async_wait([this](std::error_code waitEc) {
      if (!waitEc)
        acceptNext();
    });
  });
}

void Server::Impl::startConnection(tcp::socket socket) {
  auto c = std::make_shared<Connection>(*this, std::move(socket));
  ++open;
  c->waiting = true;
  c->place = waiting.insert(waiting.end(), c.get());
  if (open >= maxConnections) {
    auto now = std::chrono::steady_clock::now();
    if (now - limitLogged >= std::chrono::seconds(10)) {
      limitLogged = now;
      log("connection limit of " + std::to_string(maxConnections) +
          " reached: the oldest connections without a request are closed");
    }
  }
  c->deadline.expires_after(options.connectionDeadline);
  c->deadline.async_wait([c](std::error_code ec) {
    if (!ec)
      c->close();
  });
  receive(std::move(c));
}

void Server::Impl::receive(std::shared_ptr<Connection> c) {
  size_t old = c->buffer.size();
  // Grow without zero-filling; only the bytes the socket writes are kept.
  c->buffer.resize_and_overwrite(old + kReadBytes, [](char*, size_t n) { return n; });
  char* into = c->buffer.data() + old;
  c->socket.async_read_some(asio::buffer(into, kReadBytes), [this, c, old](std::error_code ec,
                                                                           size_t n) mutable {
    c->buffer.resize(old + n);
    if (c->closed)
      return;
    HTTPParser::Outcome outcome = c->parser.next(c->buffer);
    const HTTPRequest* head = c->parser.head();
    // Decided on the head alone, before its length: a body from a client without the token is
    // never read.
    c->authorized = c->authorized || (head && isAuthorized(*head, token));
    if (head && !c->authorized) {
      refuse(std::move(c), 401, "unauthorized");
    } else if (auto* complete = std::get_if<HTTPParser::Complete>(&outcome)) {
      handOff(std::move(c), std::move(complete->request));
    } else if (auto* refusal = std::get_if<HTTPParser::Refuse>(&outcome)) {
      if (refusal->drain >= 1 && refusal->drain <= options.maxDrain) {
        c->buffer = std::string(); // the request is done with; free it before draining
        drain(std::move(c), refusal->drain, HTTPResponse::error(413, errorCode(413)).serialized());
      } else {
        refuse(std::move(c), refusal->status, errorCode(refusal->status));
      }
    } else if (ec) { // incomplete, and the client closed or the connection failed
      c->close();
    } else {
      receive(std::move(c));
    }
  });
}

void Server::Impl::requestArrived(Connection& c) {
  if (c.waiting) {
    c.waiting = false;
    waiting.erase(c.place);
  }
}

void Server::Impl::closed(Connection& c) {
  requestArrived(c);
  --open;
  if (acceptPaused && open < maxConnections) {
    acceptPaused = false;
    acceptNext();
  }
}

void Connection::close() {
  if (closed)
    return;
  closed = true;
  deadline.cancel();
  std::error_code ignored;
  socket.close(ignored);
  server.closed(*this);
}

void Server::Impl::handOff(std::shared_ptr<Connection> c, HTTPRequest request) {
  requestArrived(*c);
  c->buffer = std::string();
  // The request is in: however long the work takes (a decode, a long poll), it is answered.
  c->deadline.cancel();
  if (router->answersAtOnce(request)) {
    respond(std::move(c), answer(request));
    return;
  }
  bool taken = work.submit([this, c, request = std::move(request)]() mutable {
    std::string bytes = answer(request);
    // The connection moves back to the queue with the response; no copy stays on this thread.
    asio::post(queue.context(), [this, c = std::move(c), bytes = std::move(bytes)]() mutable {
      respond(std::move(c), std::move(bytes));
    });
  });
  if (!taken) {
    log("no thread for a request: answered 503");
    respond(std::move(c), HTTPResponse::error(503, "busy").serialized());
  }
}

std::string Server::Impl::answer(const HTTPRequest& request) {
  HTTPResponse response;
  if (!isAuthorized(request, token)) {
    response = HTTPResponse::error(401, "unauthorized");
  } else {
    try {
      response = router->handle(request);
    } catch (...) { // nothing may escape a request but a JSON answer
      log("request handler failed");
      response = HTTPResponse::error(500, errorCode(500));
    }
  }
  return response.serialized();
}

void Server::Impl::drain(std::shared_ptr<Connection> c, int64_t remaining, std::string response) {
  c->socket.async_read_some(
      asio::buffer(drainScratch.get(), kReadBytes),
      [this, c, remaining, response = std::move(response)](std::error_code ec, size_t n) mutable {
        if (c->closed)
          return;
        int64_t left = remaining - static_cast<int64_t>(n);
        if (left >= 1 && !ec)
          drain(std::move(c), left, std::move(response));
        else
          respond(std::move(c), std::move(response), true);
      });
}

void Server::Impl::refuse(std::shared_ptr<Connection> c, int64_t status, std::string_view code) {
  c->buffer = std::string(); // the request is done with
  respond(std::move(c), HTTPResponse::error(status, code).serialized(), true);
}

void Server::Impl::respond(std::shared_ptr<Connection> c, std::string response, bool refusal) {
  if (c->closed) // the client went away, or its request did not arrive in time
    return;
  // The answer has as long to be taken as the request had to arrive: a client that never reads
  // it does not keep its connection for ever.
  c->deadline.expires_after(options.connectionDeadline);
  c->deadline.async_wait([c](std::error_code ec) {
    if (!ec)
      c->close();
  });
  auto bytes = std::make_shared<std::string>(std::move(response));
  asio::async_write(c->socket, asio::buffer(*bytes),
                    [this, c, bytes, refusal](std::error_code ec, size_t) mutable {
                      // The answer is queued in the kernel; close sends it and the FIN.
                      if (refusal && !ec && !c->closed)
                        linger(std::move(c));
                      else
                        c->close();
                    });
}

// The answer is sent but part of the request may still be on its way: shutting only the sending
// side delivers the answer and the FIN, and reading to the client's own FIN keeps the kernel from
// answering those bytes with a reset.
void Server::Impl::linger(std::shared_ptr<Connection> c) {
  std::error_code ignored;
  c->socket.shutdown(tcp::socket::shutdown_send, ignored);
  // A lingering connection gives way at the cap like one that has not delivered its request.
  c->waiting = true;
  c->place = waiting.insert(waiting.end(), c.get());
  if (acceptPaused) {
    acceptPaused = false;
    acceptNext();
  }
  c->deadline.expires_after(options.lingerTime);
  c->deadline.async_wait([c](std::error_code ec) {
    if (!ec)
      c->close();
  });
  discard(std::move(c), kMaxLinger);
}

void Server::Impl::discard(std::shared_ptr<Connection> c, int64_t remaining) {
  c->socket.async_read_some(asio::buffer(drainScratch.get(), kReadBytes),
                            [this, c, remaining](std::error_code ec, size_t n) mutable {
                              if (c->closed)
                                return;
                              int64_t left = remaining - static_cast<int64_t>(n);
                              if (left >= 1 && !ec)
                                discard(std::move(c), left);
                              else
                                c->close();
                            });
}

Server::Server(std::string token, std::shared_ptr<RequestHandler> router)
    : Server(std::move(token), std::move(router), Options{}) {}

Server::Server(std::string token, std::shared_ptr<RequestHandler> router, Options options)
    : impl_(std::make_unique<Impl>(std::move(token), std::move(router), options)) {}

Server::~Server() {
  cancelListener();
  // Stop the connection thread first so nothing submits to the pool while it winds down; the
  // pool then waits for handler calls, whose answers land in the stopped queue and are dropped.
  impl_->queue.shutdown();
}

std::expected<uint16_t, ServerError> Server::start() {
  struct Startup {
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;
    std::error_code error;
    uint16_t port = 0;
  };
  auto startup = std::make_shared<Startup>();
  Impl* impl = impl_.get();
  impl->queue.async([impl, startup] {
    std::error_code ec;
    auto acceptor = std::make_unique<tcp::acceptor>(impl->queue.context());
    tcp::endpoint endpoint(asio::ip::make_address_v4("127.0.0.1"), 0);
    acceptor->open(endpoint.protocol(), ec);
    if (!ec)
      acceptor->bind(endpoint, ec);
    if (!ec)
      acceptor->listen(asio::socket_base::max_listen_connections, ec);
    uint16_t port = 0;
    if (!ec) {
      auto local = acceptor->local_endpoint(ec);
      if (!ec)
        port = local.port();
    }
    if (!ec && port != 0) {
      impl->listener = std::move(acceptor);
      impl->acceptNext();
    }
    std::lock_guard lock(startup->mutex);
    startup->done = true;
    startup->error = ec;
    startup->port = port;
    startup->cv.notify_all();
  });
  std::unique_lock lock(startup->mutex);
  if (!startup->cv.wait_for(lock, impl->options.readyTimeout, [&] { return startup->done; }))
    return std::unexpected(ServerError{"listener did not become ready"});
  if (startup->error)
    return std::unexpected(ServerError{startup->error.message()});
  if (startup->port == 0)
    return std::unexpected(ServerError{"listener has no port"});
  return startup->port;
}

void Server::setMaxConnections(size_t cap) {
  Impl* impl = impl_.get();
  impl->queue.sync([impl, cap] {
    impl->maxConnections = std::max<size_t>(cap, 1);
    // Connections still without a request give way first, oldest first.
    while (impl->open > impl->maxConnections && !impl->waiting.empty())
      impl->waiting.front()->close();
    if (impl->acceptPaused && impl->open < impl->maxConnections) {
      impl->acceptPaused = false;
      impl->acceptNext();
    }
  });
}

void Server::cancelListener() {
  Impl* impl = impl_.get();
  impl->queue.sync([impl] {
    if (impl->listener) {
      std::error_code ignored;
      impl->listener->close(ignored);
      impl->listener.reset();
    }
    if (impl->acceptRetry)
      impl->acceptRetry->cancel();
  });
}

} // namespace va
