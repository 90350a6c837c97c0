#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace va {

// Where a strategy hands its audio: mono float blocks at the device's rate, stamped with the
// host-clock time of their first sample. Implemented by TrackSink; tests record the calls.
class AudioSink {
public:
  virtual ~AudioSink() = default;
  virtual const std::string& name() const = 0;
  // From any thread (audio callbacks, timers); never blocks on conversion or disk.
  virtual void write(std::span<const float> samples, double rateHz, uint64_t hostNs) = 0;
  // Host-clock time at which write() last accepted samples; 0 before the first.
  virtual uint64_t lastFrameNs() const = 0;
  // Ends the current segment so that the next audio starts a new one. Waits for the sink.
  virtual void split() = 0;
};

} // namespace va
