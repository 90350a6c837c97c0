#include "http/token.h"

#include "core/random.h"

#include <array>
#include <cstdint>

namespace va::Token {

std::expected<std::string, std::string> generate() {
  std::array<uint8_t, 32> bytes{};
  if (auto ok = randomBytes(bytes); !ok)
    return std::unexpected(ok.error());
  return hexString(bytes);
}

bool equal(std::string_view a, std::string_view b) {
  size_t n = a.size() > b.size() ? a.size() : b.size();
  // volatile keeps the loop from being cut short once a difference is known.
  volatile uint8_t diff = a.size() != b.size() ? 1 : 0;
  for (size_t i = 0; i < n; ++i) {
    uint8_t x = i < a.size() ? static_cast<uint8_t>(a[i]) : 0;
    uint8_t y = i < b.size() ? static_cast<uint8_t>(b[i]) : 0;
    diff = static_cast<uint8_t>(diff | (x ^ y));
  }
  return diff == 0;
}

} // namespace va::Token
