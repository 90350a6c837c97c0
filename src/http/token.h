#pragma once

#include <expected>
#include <string>
#include <string_view>

namespace va {

// The bearer token of one run.
namespace Token {

// 32 bytes from the kernel's secure random source as 64 lower-case hexadecimal digits.
std::expected<std::string, std::string> generate();

// Byte equality whose running time depends only on the longer length.
bool equal(std::string_view a, std::string_view b);

} // namespace Token

} // namespace va
