#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace va {

// A running application as the desktop reports it, for the sources listing.
struct RunningApplication {
  bool regular = true;                 // an ordinary application (not a helper or the audio server)
  std::optional<std::string> bundleID; // the application identity
  int32_t pid = 0;
  std::optional<std::string> name; // display name
};

class ApplicationProvider {
public:
  virtual ~ApplicationProvider() = default;
  // In the platform's order. Thread-safe.
  virtual std::vector<RunningApplication> runningApplications() = 0;
};

// Facts about the running system for the capabilities endpoint. Thread-safe.
class SystemInfo {
public:
  virtual ~SystemInfo() = default;
  // "major.minor.patch" in decimal.
  virtual std::string osVersion() = 0;
  // Whether other applications' audio can be captured here.
  virtual bool systemAudioAvailable() = 0;
};

// The first three numbers of a kernel release such as "6.1.0-18-amd64"; missing ones are 0.
std::string osVersionFromRelease(std::string_view release);

} // namespace va
