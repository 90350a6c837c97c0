#pragma once

#include <map>
#include <string>

namespace va {

// One parsed request. Strings are bytes; the head was valid UTF-8.
struct HTTPRequest {
  std::string method;                         // as sent, case kept
  std::string path;                           // the target before its first "?", not decoded
  std::map<std::string, std::string> headers; // lower-cased names, trimmed values, last one wins
  std::string body;                           // exactly Content-Length bytes
  std::map<std::string, std::string> query;   // decoded items; an item without "=" maps to ""
};

} // namespace va
