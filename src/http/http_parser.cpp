#include "http/http_parser.h"

#include "core/decimal.h"
#include "http/text.h"

#include <optional>
#include <vector>

namespace va {

namespace {

std::vector<std::string_view> split(std::string_view s, std::string_view sep) {
  std::vector<std::string_view> parts;
  size_t start = 0;
  for (;;) {
    size_t at = s.find(sep, start);
    if (at == std::string_view::npos) {
      parts.push_back(s.substr(start));
      return parts;
    }
    parts.push_back(s.substr(start, at - start));
    start = at + sep.size();
  }
}

std::map<std::string, std::string> parseQuery(std::string_view target) {
  std::map<std::string, std::string> query;
  size_t q = target.find('?');
  if (q == std::string_view::npos || !text::isUriReference(target))
    return query;
  std::string_view component = target.substr(q + 1);
  component = component.substr(0, component.find('#'));
  if (component.empty())
    return query;
  for (std::string_view item : split(component, "&")) {
    size_t eq = item.find('=');
    std::string_view name = item.substr(0, eq);
    std::string_view value =
        eq == std::string_view::npos ? std::string_view{} : item.substr(eq + 1);
    // Escapes were validated with the whole reference, so decoding cannot fail here.
    query[text::percentDecode(name).value_or(std::string(name))] =
        text::percentDecode(value).value_or(std::string(value));
  }
  return query;
}

} // namespace

HTTPParser::Outcome HTTPParser::parse(std::string_view data) {
  size_t headEnd = data.find("\r\n\r\n");
  if (headEnd == std::string_view::npos)
    return data.size() > kMaxHeadBytes ? Outcome(Refuse{431, 0}) : Outcome(Incomplete{});
  if (headEnd > kMaxHeadBytes)
    return Refuse{431, 0};
  size_t bodyStart = headEnd + 4;

  std::string_view head = data.substr(0, headEnd);
  if (!text::isValidUtf8(head))
    return Refuse{431, 0};

  std::vector<std::string_view> lines = split(head, "\r\n");
  std::vector<std::string_view> parts = split(lines[0], " ");
  if (parts.size() != 3 || !parts[2].starts_with("HTTP/1."))
    return Refuse{400, 0};

  HTTPRequest request;
  for (size_t i = 1; i < lines.size(); ++i) {
    size_t colon = lines[i].find(':');
    if (colon == std::string_view::npos)
      return Refuse{400, 0};
    request.headers[text::toLower(lines[i].substr(0, colon))] =
        std::string(text::trimSpaces(lines[i].substr(colon + 1)));
  }

  if (request.headers.contains("transfer-encoding"))
    return Refuse{501, 0};

  int64_t length = 0;
  if (auto it = request.headers.find("content-length"); it != request.headers.end()) {
    std::optional<int64_t> parsed = parseDecimal<int64_t>(it->second);
    if (!parsed || *parsed < 0)
      return Refuse{400, 0};
    length = *parsed;
    if (length > kMaxBodyBytes)
      return Refuse{413, length - static_cast<int64_t>(data.size() - bodyStart)};
  }
  if (static_cast<int64_t>(data.size() - bodyStart) < length)
    return Incomplete{};

  std::string_view target = parts[1];
  request.method = std::string(parts[0]);
  request.path = std::string(target.substr(0, target.find('?')));
  request.query = parseQuery(target);
  request.body = std::string(data.substr(bodyStart, static_cast<size_t>(length)));
  return Complete{std::move(request)};
}

} // namespace va
