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
  return Stream().next(data);
}

HTTPParser::Outcome HTTPParser::Stream::next(std::string_view data) {
  if (!headDone_) {
    size_t headEnd = data.find("\r\n\r\n", searched_ >= 3 ? searched_ - 3 : 0);
    if (headEnd == std::string_view::npos) {
      searched_ = data.size();
      return data.size() > kMaxHeadBytes ? Outcome(Refuse{431, 0}) : Outcome(Incomplete{});
    }
    headDone_ = true;
    bodyStart_ = headEnd + 4;
    if (headEnd > kMaxHeadBytes)
      refused_ = Refuse{431, 0};
    else
      parseHead(data.substr(0, headEnd));
  }
  const auto received = static_cast<int64_t>(data.size() - bodyStart_);
  if (refused_)
    return refused_->status == 413 ? Refuse{413, length_ - received} : *refused_;
  if (received < length_)
    return Incomplete{};
  HTTPRequest request = request_;
  request.body = std::string(data.substr(bodyStart_, static_cast<size_t>(length_)));
  return Complete{std::move(request)};
}

void HTTPParser::Stream::parseHead(std::string_view head) {
  if (!text::isValidUtf8(head)) {
    refused_ = Refuse{431, 0};
    return;
  }
  std::vector<std::string_view> lines = split(head, "\r\n");
  std::vector<std::string_view> parts = split(lines[0], " ");
  if (parts.size() != 3 || !parts[2].starts_with("HTTP/1.")) {
    refused_ = Refuse{400, 0};
    return;
  }
  HTTPRequest& request = request_;
  int lengths = 0;
  for (size_t i = 1; i < lines.size(); ++i) {
    size_t colon = lines[i].find(':');
    if (colon == std::string_view::npos) {
      refused_ = Refuse{400, 0};
      return;
    }
    std::string name = text::toLower(lines[i].substr(0, colon));
    lengths += name == "content-length";
    request.headers[std::move(name)] = std::string(text::trimSpaces(lines[i].substr(colon + 1)));
  }
  std::string_view target = parts[1];
  request.method = std::string(parts[0]);
  request.path = std::string(target.substr(0, target.find('?')));
  request.query = parseQuery(target);

  if (request.headers.contains("transfer-encoding")) {
    refused_ = Refuse{501, 0};
    return;
  }

  if (auto it = request.headers.find("content-length"); it != request.headers.end()) {
    std::optional<int64_t> parsed = parseDecimal<int64_t>(it->second);
    // A repeated length, even an equal one, is refused: no two readers can disagree on it.
    if (!parsed || *parsed < 0 || lengths > 1) {
      refused_ = Refuse{400, 0};
      return;
    }
    length_ = *parsed;
    if (length_ > kMaxBodyBytes) {
      refused_ = Refuse{413, 0};
      return;
    }
  }
}

} // namespace va
