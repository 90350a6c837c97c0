#include "http/http_response.h"

namespace va {

std::string_view HTTPResponse::reason(int64_t status) {
  switch (status) {
  case 200:
    return "OK";
  case 400:
    return "Bad Request";
  case 401:
    return "Unauthorized";
  case 403:
    return "Forbidden";
  case 404:
    return "Not Found";
  case 405:
    return "Method Not Allowed";
  case 413:
    return "Payload Too Large";
  case 415:
    return "Unsupported Media Type";
  case 422:
    return "Unprocessable Content";
  case 431:
    return "Request Header Fields Too Large";
  case 500:
    return "Internal Server Error";
  case 501:
    return "Not Implemented";
  case 503:
    return "Service Unavailable";
  default:
    return "Status";
  }
}

HTTPResponse HTTPResponse::error(int64_t status, std::string_view code) {
  return HTTPResponse{status, Json{{"error", std::string(code)}}};
}

std::string HTTPResponse::serialized() const {
  std::string body = writeJson(json).value_or("{}");
  std::string out;
  out.reserve(body.size() + 128);
  out.append("HTTP/1.1 ")
      .append(std::to_string(status))
      .append(" ")
      .append(reason(status))
      .append("\r\nContent-Type: application/json\r\nContent-Length: ")
      .append(std::to_string(body.size()))
      .append("\r\nConnection: close\r\n\r\n")
      .append(body);
  return out;
}

} // namespace va
