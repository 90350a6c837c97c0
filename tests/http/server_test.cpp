#include "http/server.h"

#include "support/eventually.h"
#include "support/socket_client.h"

#include <arpa/inet.h>
#include <atomic>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace va {
namespace {

using namespace std::chrono_literals;
using testing_support::connectLoopback;
using testing_support::getRequest;
using testing_support::roundTrip;

const std::string kToken(64, 'a');

// A loopback connection, closed when it goes.
struct Conn {
  explicit Conn(uint16_t port) : fd(connectLoopback(port)) {}
  Conn(Conn&& other) noexcept : fd(std::exchange(other.fd, -1)) {}
  ~Conn() { ::close(fd); }
  bool send(std::string_view bytes) const { return testing_support::sendAll(fd, bytes); }
  testing_support::ReadResult read(std::chrono::milliseconds timeout = 20s) const {
    return testing_support::readUntilClosed(fd, timeout);
  }
  bool closedUnanswered() const {
    auto r = read();
    return r.closed && r.bytes.empty();
  }
  int fd;
};

// Holds /block until released; answers /quick at once, on the connection's own thread.
class TestRouter final : public RequestHandler {
public:
  HTTPResponse handle(const HTTPRequest& request) override {
    calls.fetch_add(1);
    if (request.path == "/block") {
      blocked.fetch_add(1);
      while (!released.load())
        std::this_thread::sleep_for(5ms);
      return HTTPResponse{200, Json{{"released", true}}};
    }
    if (request.path == "/throw")
      throw std::runtime_error("boom");
    if (request.path == "/echo")
      return HTTPResponse{200, Json{{"body", request.body}}};
    if (request.path == "/big") // more than the socket buffers of both ends hold
      return HTTPResponse{200, Json{{"body", std::string(32 << 20, 'x')}}};
    if (request.path == "/quick") {
      char name[16] = {};
      pthread_getname_np(pthread_self(), name, sizeof name);
      return HTTPResponse{200, Json{{"thread", name}}};
    }
    return HTTPResponse{200, Json{{"ok", true}, {"version", "0.1.0"}}};
  }
  bool answersAtOnce(const HTTPRequest& request) const override { return request.path == "/quick"; }
  std::atomic<int> calls{0}, blocked{0};
  std::atomic<bool> released{false};
};

class ServerTest : public testing::Test {
protected:
  void startServer(std::optional<Server::Options> options = {}) {
    server_ = options ? std::make_unique<Server>(kToken, router_, *options)
                      : std::make_unique<Server>(kToken, router_);
    auto port = server_->start();
    ASSERT_TRUE(port.has_value()) << port.error().description;
    port_ = *port;
  }
  void SetUp() override { startServer(); }
  void TearDown() override {
    router_->released = true;
    server_.reset();
  }
  bool awaitBlocked(int n, std::chrono::seconds timeout = 20s) {
    return testing_support::eventually([&] { return router_->blocked.load() >= n; }, timeout);
  }
  // A connection that has sent `bytes`.
  Conn open(std::string_view bytes = "") {
    Conn c(port_);
    EXPECT_GE(c.fd, 0);
    EXPECT_TRUE(c.send(bytes));
    return c;
  }

  std::shared_ptr<TestRouter> router_ = std::make_shared<TestRouter>();
  std::unique_ptr<Server> server_;
  uint16_t port_ = 0;
};

// One request, one answer: its status line and body, whether the router was asked, and never a
// second answer. The token is checked before the router is; the parser's refusals come before the
// token; immediate answers come from the connection's own thread. The 413 test checks whole bytes.
TEST_F(ServerTest, AnswersEachRequestOnce) {
  const std::string changed = kToken.substr(0, 10) + "b" + kToken.substr(11);
  auto health = [](const std::string& header) {
    return "GET /health HTTP/1.1\r\n" + header + "\r\n\r\n";
  };
  const std::string ok = "HTTP/1.1 200 OK", okBody = R"({"ok":true,"version":"0.1.0"})";
  const std::string refused = "HTTP/1.1 401 Unauthorized",
                    refusedBody = R"({"error":"unauthorized","message":")";
  struct Case {
    std::string request, statusLine, body;
    int calls;
  };
  const Case cases[] = {
      {getRequest("/health", kToken), ok, okBody, 1},
      // The scheme's name in any case; bad tokens.
      {health("Authorization: bEARER " + kToken), ok, okBody, 1},
      {health("Authorization: Bearer  " + kToken), refused, refusedBody, 0},
      {health("Authorization: Bearer " + changed), refused, refusedBody, 0},
      {health("Authorization: Bearer " + kToken + "a"), refused, refusedBody, 0},
      {health("X-Other: 1"), refused, refusedBody, 0},
      // The parser's refusals, before the token.
      {"GET /health HTTP/1.1\r\nAuthorization: Bearer " + kToken +
           "\r\nTransfer-Encoding: chunked\r\n\r\n",
       "HTTP/1.1 501 Not Implemented", R"({"error":"not_implemented","message":")", 0},
      {"GET /health\r\n\r\n", "HTTP/1.1 400 Bad Request", R"({"error":"bad_request","message":")",
       0},
      {std::string(16385, 'a'), "HTTP/1.1 431 Request Header Fields Too Large",
       R"({"error":"request_header_fields_too_large","message":")", 0},
      {getRequest("/throw", kToken), "HTTP/1.1 500 Internal Server Error",
       R"({"error":"internal_server_error","message":")", 1},
      {getRequest("/quick", kToken), ok, R"({"thread":"server"})", 1},
      {getRequest("/quick", std::string(64, 'b')), refused, refusedBody, 0},
      // Two lengths are refused, and what follows them is never taken for a request.
      {"POST /echo HTTP/1.1\r\nAuthorization: Bearer " + kToken +
           "\r\nContent-Length: 5\r\nContent-Length: 5\r\n\r\nhello" +
           getRequest("/health", kToken),
       "HTTP/1.1 400 Bad Request", R"({"error":"bad_request","message":")", 0},
  };
  for (const Case& c : cases) {
    int before = router_->calls.load();
    std::string reply = roundTrip(port_, c.request);
    EXPECT_TRUE(reply.starts_with(c.statusLine + "\r\n")) << c.request << "\n" << reply;
    // An error's body begins with its code, then says why.
    EXPECT_NE(reply.find("\r\n\r\n" + c.body), std::string::npos) << c.request << "\n" << reply;
    EXPECT_EQ(reply.find("HTTP/1.1", 1), std::string::npos) << reply;
    EXPECT_EQ(router_->calls.load() - before, c.calls) << c.request;
  }
}

// A request that arrives in pieces is put together; one cut short gets no answer.
TEST_F(ServerTest, ReadsARequestInPiecesAndClosesSilentlyOnAHalfOne) {
  Conn c = open("POST /echo HTTP/1.1\r\nAuthorization: Bearer " + kToken +
                "\r\nContent-Length: 200000\r\n\r\n");
  const std::string body(200000, 'x');
  for (size_t at = 0; at < body.size(); at += 70000) {
    std::this_thread::sleep_for(20ms);
    ASSERT_TRUE(c.send(body.substr(at, 70000)));
  }
  EXPECT_TRUE(c.read().bytes.ends_with("\r\n\r\n{\"body\":\"" + body + "\"}"));
  Conn half = open("GET /health HTTP/1.1\r\nAuthor");
  ::shutdown(half.fd, SHUT_WR);
  EXPECT_TRUE(half.closedUnanswered());
  EXPECT_EQ(router_->calls.load(), 1);
}

// A refused body is read to its end before the 413, so that the client is not reset while it
// still sends; one declared beyond what is ever drained is answered at once.
TEST_F(ServerTest, DrainsADeclaredBodyBeforeThe413) {
  const std::string half(1 << 20, 'x');
  const std::string head = "POST /decode HTTP/1.1\r\nAuthorization: Bearer " + kToken;
  Conn c = open(head + "\r\nContent-Length: 2097152\r\n\r\n" + half);
  // Half the body is still to come: no answer yet.
  auto r = c.read(300ms);
  EXPECT_TRUE(r.bytes.empty() && !r.closed) << r.bytes;
  ASSERT_TRUE(c.send(half));
  r = c.read();
  EXPECT_TRUE(r.closed);
  EXPECT_FALSE(r.reset);
  EXPECT_EQ(r.bytes, HTTPResponse::error(413, "payload_too_large").serialized());
  r = open(head + "\r\nContent-Length: 104857600\r\n\r\n").read();
  EXPECT_TRUE(r.bytes.starts_with("HTTP/1.1 413 Payload Too Large\r\n")) << r.bytes;
}

TEST_F(ServerTest, BlockedRequestsDoNotDelayOthers) {
  constexpr int kBlocked = 300;
  std::vector<Conn> blocked;
  for (int i = 0; i < kBlocked; ++i)
    blocked.push_back(open(getRequest("/block", kToken)));
  ASSERT_TRUE(awaitBlocked(kBlocked, 60s));
  EXPECT_TRUE(roundTrip(port_, getRequest("/health", kToken), 20s)
                  .ends_with("{\"ok\":true,\"version\":\"0.1.0\"}"));
  router_->released = true;
  for (const Conn& c : blocked)
    EXPECT_TRUE(c.read().bytes.ends_with("{\"released\":true}"));
}

TEST_F(ServerTest, AClientThatNeverReadsItsAnswerBlocksNoOne) {
  Conn stuck = open(getRequest("/big", kToken));
  // Wait until the big answer is being sent: a few bytes of it can be peeked.
  // Building 32 MB of JSON takes about 20 s under ThreadSanitizer alone.
  pollfd p{stuck.fd, POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 90000), 1);
  for (int i = 0; i < 5; ++i)
    EXPECT_TRUE(roundTrip(port_, getRequest("/health", kToken)).starts_with("HTTP/1.1 200 OK"));
  EXPECT_EQ(router_->calls.load(), 6);
}

// Only 127.0.0.1 is listened on (127.0.0.2 is loopback too, but another address), and only until
// the listener is cancelled.
TEST_F(ServerTest, ListensOnLoopbackOnlyUntilCancelled) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port_);
  addr.sin_addr.s_addr = htonl(0x7f000002);
  EXPECT_NE(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ::close(fd);
  server_->cancelListener();
  EXPECT_LT(connectLoopback(port_), 0);
}

class ServerLimitTest : public ServerTest {
protected:
  static constexpr int kLimit = 4;
  void SetUp() override { startServer(Server::Options{.maxConnections = kLimit}); }
};

// At the cap the oldest connection without a request makes room, so idle connections never keep
// a request out; while every connection is being answered, new ones wait in the backlog.
TEST_F(ServerLimitTest, ShedsTheOldestIdleConnectionOrWaitsInTheBacklog) {
  std::vector<Conn> idle;
  for (int i = 0; i < kLimit; ++i)
    idle.push_back(open());
  EXPECT_TRUE(roundTrip(port_, getRequest("/health", kToken)).starts_with("HTTP/1.1 200 OK"));
  EXPECT_TRUE(idle[0].closedUnanswered());
  for (int i = 1; i < kLimit; ++i)
    EXPECT_FALSE(idle[i].read(100ms).closed) << i;
  // A flood of idle connections cycles through the places; a request still gets one.
  for (int i = 0; i < 20; ++i)
    idle.push_back(open());
  EXPECT_TRUE(roundTrip(port_, getRequest("/health", kToken)).starts_with("HTTP/1.1 200 OK"));

  std::vector<Conn> blocked;
  for (int i = 0; i < kLimit; ++i)
    blocked.push_back(open(getRequest("/block", kToken)));
  ASSERT_TRUE(awaitBlocked(kLimit));
  Conn late = open(getRequest("/health", kToken));
  auto early = late.read(300ms);
  EXPECT_TRUE(early.bytes.empty() && !early.closed) << early.bytes;
  router_->released = true;
  for (const Conn& c : blocked)
    EXPECT_TRUE(c.read().bytes.ends_with("{\"released\":true}"));
  EXPECT_TRUE(late.read().bytes.starts_with("HTTP/1.1 200 OK"));
}

class ServerDeadlineTest : public ServerTest {
protected:
  void SetUp() override { startServer(Server::Options{.connectionDeadline = 300ms}); }
};

// The deadline is for delivering the request: a connection that sends nothing is closed, but work
// that takes longer (a decode, a long poll) is still answered.
TEST_F(ServerDeadlineTest, AnswersWorkThatOutlastsTheDeadline) {
  Conn idle = open();
  Conn c = open(getRequest("/block", kToken));
  ASSERT_TRUE(awaitBlocked(1));
  EXPECT_TRUE(idle.closedUnanswered());
  std::this_thread::sleep_for(900ms); // three deadlines
  router_->released = true;
  auto r = c.read();
  EXPECT_TRUE(r.bytes.ends_with("{\"released\":true}")) << r.bytes;
}

// Without the token nothing of the body is waited for or kept, whatever its length: the head
// alone is answered. A body sent whole before reading is read and dropped, so that the client
// gets the answer and not a reset.
TEST_F(ServerDeadlineTest, AHeadWithoutTheTokenIsAnsweredBeforeItsBody) {
  for (const std::string& token : {std::string(64, 'b'), std::string()}) {
    for (const char* length : {"1048576", "1048577"}) {
      auto r = open("POST /echo HTTP/1.1\r\nAuthorization: Bearer " + token +
                    "\r\nContent-Length: " + length + "\r\n\r\n" + std::string(1000, 'x'))
                   .read();
      EXPECT_TRUE(r.bytes.starts_with("HTTP/1.1 401 Unauthorized\r\n")) << r.bytes;
    }
  }
  auto r = open("POST /echo HTTP/1.1\r\nContent-Length: 600000\r\n\r\n" + std::string(600000, 'x'))
               .read();
  EXPECT_FALSE(r.reset);
  EXPECT_EQ(r.bytes, HTTPResponse::error(401, "unauthorized").serialized());
  EXPECT_EQ(router_->calls.load(), 0);
}

// A request no thread can be made for is answered 503 "busy", and the server goes on.
TEST_F(ServerTest, AnswersBusyWithoutAThread) {
  startServer(Server::Options{.work = {.startThread = [](Task) { return false; }}});
  for (const char* path : {"/health", "/quick", "/health"})
    EXPECT_TRUE(roundTrip(port_, getRequest(path, kToken))
                    .ends_with(path[1] == 'q' ? "\"server\"}"
                                              : HTTPResponse::error(503, "busy").serialized()));
}

} // namespace
} // namespace va
