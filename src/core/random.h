#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string>

namespace va {

// Fills `out` from getrandom(2) (the kernel's cryptographically secure source). The error is a
// description of why the source failed.
std::expected<void, std::string> randomBytes(std::span<uint8_t> out);

// Two lower-case hexadecimal digits per byte, in byte order.
std::string hexString(std::span<const uint8_t> bytes);

// A random (version 4) UUID in lower case, e.g. "3f2b...-....-4...-[89ab]...-............".
std::expected<std::string, std::string> randomUUID();

} // namespace va
