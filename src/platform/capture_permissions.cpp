#include "platform/capture_permissions.h"

#include "core/log.h"

#include <string>

namespace va {

CapturePermissions& CapturePermissions::shared() {
  static CapturePermissions instance;
  return instance;
}

void CapturePermissions::systemAudioRefused(std::string_view description) {
  refused_.set(true);
  log("tap refused: " + std::string(description));
}

} // namespace va
