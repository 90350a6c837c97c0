#pragma once

#include <optional>
#include <string>
#include <string_view>

// Text rules of the request parser. Pure functions over UTF-8 bytes; no locale is consulted.
namespace va::text {

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool isValidUtf8(std::string_view bytes);

// Full Unicode lower-casing of valid UTF-8 (U+0130 becomes "i" + U+0307).
std::string toLower(std::string_view utf8);

// Strips leading and trailing tabs and Unicode space separators (category Zs) from valid UTF-8.
std::string_view trimSpaces(std::string_view utf8);

// True when `target` is a URI reference by RFC 3986's grammar.
bool isUriReference(std::string_view target);

// Decodes %XX escapes ("+" stays "+"). Nothing when an escape is malformed.
std::optional<std::string> percentDecode(std::string_view text);

} // namespace va::text
