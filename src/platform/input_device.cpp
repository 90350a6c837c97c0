#include "platform/input_device.h"

namespace va {

Json InputDevice::json() const {
  return Json{{"id", id},
              {"uid", uid},
              {"name", name},
              {"transport", transport},
              {"nominalSampleRate", nominalRate},
              {"inputChannels", inputChannels}};
}

} // namespace va
