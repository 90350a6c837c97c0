#pragma once

#include "decode/decode_file.h"

#include <cstddef>
#include <cstdint>

namespace va {

// Descriptors the service holds whatever it does: the audio server's sockets and event
// descriptors, the server's listener and queues, the root, the standard streams, and the
// transient ones of requests resolving their paths (recording tracks are counted apart).
inline constexpr uint64_t kServiceDescriptors = 192;
// Descriptors kept out of the connections' reach: the service's own and those of as many
// decodes as may run at once.
inline constexpr uint64_t kDescriptorReserve =
    kServiceDescriptors + Decode::kMaxConcurrent * Decode::kDescriptorsPerRun;
static_assert(kDescriptorReserve == 256);

// Raises the soft limit on open descriptors to the hard limit (at most the kernel's per-process
// ceiling) and returns the soft limit in force afterwards. Call once, at start-up.
uint64_t raiseDescriptorLimit();

// Descriptors one recording track holds, with room to spare: its queues' event descriptors, its
// track directory and segment file, and the audio server's buffers and signals for its stream
// (measured: 7 for a test tone, 16 to 18 for a microphone or a tap).
inline constexpr uint64_t kDescriptorsPerTrack = 32;
inline constexpr size_t kMinConnections = 16;

// How many connections the server may hold under a descriptor limit while `tracks` tracks
// record, keeping the reserve: at most `ceiling`, never fewer than kMinConnections.
size_t connectionCap(uint64_t descriptorLimit, size_t ceiling, size_t tracks = 0);

// How many tracks may record at once under a descriptor limit: as many as leave the reserve and
// kMinConnections connections their descriptors.
size_t trackCap(uint64_t descriptorLimit);

} // namespace va
