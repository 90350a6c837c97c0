// Fuzz target for the request parser: any bytes give one of the three outcomes, and the outcome
// keeps the parser's own promises.

#include "http/http_parser.h"

#include "fuzz_check.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  va::HTTPParser::Outcome outcome = va::HTTPParser::parse(bytes);
  if (auto* refuse = std::get_if<va::HTTPParser::Refuse>(&outcome)) {
    int64_t s = refuse->status;
    check(s == 400 || s == 413 || s == 431 || s == 501);
    check(s == 413 || refuse->drain == 0);
  } else if (auto* complete = std::get_if<va::HTTPParser::Complete>(&outcome)) {
    const va::HTTPRequest& r = complete->request;
    check(r.body.size() <= static_cast<size_t>(va::HTTPParser::kMaxBodyBytes));
    check(r.body.size() < size);
    check(r.path.find('?') == std::string::npos);
    check(!r.headers.contains("transfer-encoding"));
    // Bytes after the request never change the outcome.
    std::string longer(bytes);
    longer += "trailing";
    check(std::holds_alternative<va::HTTPParser::Complete>(va::HTTPParser::parse(longer)));
  }
  return 0;
}
