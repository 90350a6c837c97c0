// Fuzz target for the request parser: any bytes give one of the three outcomes, the outcome
// keeps the parser's own promises, and a Stream fed the same bytes in two pieces (split where the
// first byte says) answers as the parser over each piece's prefix.

#include "http/http_parser.h"

#include "fuzz_check.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

namespace {

bool same(const va::HTTPParser::Outcome& a, const va::HTTPParser::Outcome& b) {
  if (a.index() != b.index())
    return false;
  if (auto* x = std::get_if<va::HTTPParser::Refuse>(&a))
    return *x == std::get<va::HTTPParser::Refuse>(b);
  if (auto* x = std::get_if<va::HTTPParser::Complete>(&a)) {
    const va::HTTPRequest& y = std::get<va::HTTPParser::Complete>(b).request;
    return x->request.method == y.method && x->request.path == y.path &&
           x->request.headers == y.headers && x->request.body == y.body &&
           x->request.query == y.query;
  }
  return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  va::HTTPParser::Outcome outcome = va::HTTPParser::parse(bytes);
  if (size > 0) {
    std::string_view first = bytes.substr(0, data[0] % size);
    va::HTTPParser::Stream stream;
    va::HTTPParser::Outcome early = stream.next(first);
    check(same(early, va::HTTPParser::parse(first)));
    if (std::holds_alternative<va::HTTPParser::Incomplete>(early))
      check(same(stream.next(bytes), outcome));
  }
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
