#include "support/socket_client.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace va::testing_support {

int connectLoopback(uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0)
    return -1;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

bool sendAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0 && errno != EINTR)
      return false;
    if (n > 0)
      bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

ReadResult readUntilClosed(int fd, std::chrono::milliseconds timeout) {
  ReadResult result;
  auto deadline = std::chrono::steady_clock::now() + timeout;
  char buf[65536];
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd p{fd, POLLIN, 0};
    if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0)
      return result;
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) {
      result.closed = true;
      result.reset = n < 0;
      return result;
    }
    result.bytes.append(buf, static_cast<size_t>(n));
  }
}

std::string roundTrip(uint16_t port, std::string_view request, std::chrono::milliseconds timeout) {
  int fd = connectLoopback(port);
  if (fd < 0)
    return "connect failed";
  sendAll(fd, request);
  ReadResult r = readUntilClosed(fd, timeout);
  ::close(fd);
  return r.bytes;
}

std::string getRequest(std::string_view path, std::string_view token, std::string_view method) {
  std::string req = std::string(method) + " " + std::string(path) + " HTTP/1.1\r\nHost: x\r\n";
  if (!token.empty())
    req += "Authorization: Bearer " + std::string(token) + "\r\n";
  return req + "\r\n";
}

} // namespace va::testing_support
