#include "core/random.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <sys/random.h>

namespace va {

std::expected<void, std::string> randomBytes(std::span<uint8_t> out) {
  size_t filled = 0;
  while (filled < out.size()) {
    ssize_t n = getrandom(out.data() + filled, out.size() - filled, 0);
    if (n < 0) {
      if (errno == EINTR)
        continue;
      return std::unexpected(std::string("getrandom: ") + std::strerror(errno));
    }
    filled += static_cast<size_t>(n);
  }
  return {};
}

std::string hexString(std::span<const uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (uint8_t b : bytes) {
    out.push_back(kDigits[b >> 4]);
    out.push_back(kDigits[b & 0x0f]);
  }
  return out;
}

std::expected<std::string, std::string> randomUUID() {
  std::array<uint8_t, 16> b{};
  if (auto ok = randomBytes(b); !ok)
    return std::unexpected(ok.error());
  b[6] = static_cast<uint8_t>((b[6] & 0x0f) | 0x40); // version 4
  b[8] = static_cast<uint8_t>((b[8] & 0x3f) | 0x80); // RFC 4122 variant
  std::string hex = hexString(b);
  return hex.substr(0, 8) + "-" + hex.substr(8, 4) + "-" + hex.substr(12, 4) + "-" +
         hex.substr(16, 4) + "-" + hex.substr(20);
}

} // namespace va
