#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace va::testing_support {

// A blocking TCP socket to 127.0.0.1:port; -1 on failure.
int connectLoopback(uint16_t port);
bool sendAll(int fd, std::string_view bytes);

struct ReadResult {
  std::string bytes;
  bool closed = false; // the peer closed (EOF or reset) before the deadline
  bool reset = false;
};
// Reads until the peer closes or `timeout` passes.
ReadResult readUntilClosed(int fd, std::chrono::milliseconds timeout);

// One request on a fresh connection; returns everything the server sent before closing.
std::string roundTrip(uint16_t port, std::string_view request,
                      std::chrono::milliseconds timeout = std::chrono::seconds(20));

std::string getRequest(std::string_view path, std::string_view token,
                       std::string_view method = "GET");

} // namespace va::testing_support
