#pragma once

#include <chrono>
#include <thread>

namespace va::testing_support {

// Waits on a condition with a generous deadline; tests never depend on how fast things run.
template <class Pred>
bool eventually(Pred pred, std::chrono::milliseconds limit = std::chrono::seconds(20),
                std::chrono::milliseconds poll = std::chrono::milliseconds(10)) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > deadline)
      return false;
    std::this_thread::sleep_for(poll);
  }
  return true;
}

} // namespace va::testing_support
