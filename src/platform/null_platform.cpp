#include "platform/null_platform.h"

#include <sys/utsname.h>

namespace va {

std::string KernelSystemInfo::osVersion() {
  utsname info{};
  if (uname(&info) != 0)
    return "0.0.0";
  return osVersionFromRelease(info.release);
}

} // namespace va
