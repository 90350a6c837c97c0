#include "platform/system_info.h"

namespace va {

std::string osVersionFromRelease(std::string_view release) {
  std::string out;
  size_t i = 0;
  for (int part = 0; part < 3; ++part) {
    uint64_t value = 0;
    bool any = false;
    while (i < release.size() && release[i] >= '0' && release[i] <= '9' && value < 1'000'000'000) {
      value = value * 10 + static_cast<uint64_t>(release[i] - '0');
      any = true;
      ++i;
    }
    if (part > 0)
      out.push_back('.');
    out += std::to_string(value);
    // Continue only through a "." that joins two numbers.
    if (!any || i + 1 >= release.size() || release[i] != '.' || release[i + 1] < '0' ||
        release[i + 1] > '9') {
      for (int rest = part + 1; rest < 3; ++rest)
        out += ".0";
      return out;
    }
    ++i;
  }
  return out;
}

} // namespace va
