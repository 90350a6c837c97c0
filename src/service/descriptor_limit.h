#pragma once

#include <cstddef>
#include <cstdint>

namespace va {

// Descriptors kept out of the connections' reach: segment files, decodes, the audio server's
// sockets and event descriptors, the standard streams.
inline constexpr uint64_t kDescriptorReserve = 256;

// Raises the soft limit on open descriptors to the hard limit (at most the kernel's per-process
// ceiling) and returns the soft limit in force afterwards. Call once, at start-up.
uint64_t raiseDescriptorLimit();

// How many connections the server may hold under a descriptor limit, keeping the reserve:
// at most `ceiling`, and never fewer than 16.
size_t connectionCap(uint64_t descriptorLimit, size_t ceiling);

} // namespace va
