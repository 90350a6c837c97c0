#include "platform/mic_io.h"

namespace va::MicDeviceResolver {

std::optional<InputDevice> resolve(const std::optional<std::string>& uid,
                                   InputDeviceProvider& devices) {
  std::vector<InputDevice> listed = devices.inputs();
  std::optional<uint32_t> wanted;
  if (!uid) {
    wanted = devices.defaultInputID();
    if (!wanted || *wanted == 0)
      return std::nullopt;
  }
  for (InputDevice& device : listed)
    if (uid ? device.uid == *uid : device.id == *wanted)
      return std::move(device);
  return std::nullopt;
}

} // namespace va::MicDeviceResolver
