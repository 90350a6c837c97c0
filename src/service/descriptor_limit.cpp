#include "service/descriptor_limit.h"

#include "core/log.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <string>
#include <sys/resource.h>

namespace va {

namespace {

// The kernel refuses a soft limit above fs.nr_open, even when the hard limit is unlimited.
uint64_t kernelCeiling() {
  std::ifstream in("/proc/sys/fs/nr_open");
  uint64_t n = 0;
  if (in >> n && n > 0)
    return n;
  return 1048576;
}

} // namespace

uint64_t raiseDescriptorLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) {
    log(std::string("getrlimit(RLIMIT_NOFILE): ") + std::strerror(errno));
    return 1024;
  }
  const uint64_t ceiling = kernelCeiling();
  rlim_t wanted = limit.rlim_max;
  if (wanted == RLIM_INFINITY || wanted > ceiling)
    wanted = static_cast<rlim_t>(ceiling);
  if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < wanted) {
    rlimit raised{wanted, limit.rlim_max};
    if (setrlimit(RLIMIT_NOFILE, &raised) == 0)
      limit.rlim_cur = wanted;
    else
      log(std::string("setrlimit(RLIMIT_NOFILE): ") + std::strerror(errno));
  }
  return limit.rlim_cur == RLIM_INFINITY ? ceiling : static_cast<uint64_t>(limit.rlim_cur);
}

size_t connectionCap(uint64_t descriptorLimit, size_t ceiling, size_t tracks) {
  const uint64_t taken = kDescriptorReserve + tracks * kDescriptorsPerTrack;
  uint64_t room =
      descriptorLimit > taken + kMinConnections ? descriptorLimit - taken : kMinConnections;
  return static_cast<size_t>(std::min<uint64_t>(room, ceiling));
}

size_t trackCap(uint64_t descriptorLimit) {
  const uint64_t kept = kDescriptorReserve + kMinConnections;
  return descriptorLimit > kept
             ? static_cast<size_t>((descriptorLimit - kept) / kDescriptorsPerTrack)
             : 0;
}

} // namespace va
