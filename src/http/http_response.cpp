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

namespace {

// What a code means when the call site has nothing more precise to say.
std::string_view usualMessage(std::string_view code) {
  static constexpr std::pair<std::string_view, std::string_view> kMessages[] = {
      {"unauthorized", "The request needs the header \"Authorization: Bearer <token>\" with the "
                       "token of the READY line."},
      {"bad_request", "The request is not valid HTTP/1.1 (one Content-Length, no other framing)."},
      {"payload_too_large", "The request body is larger than 1048576 bytes."},
      {"request_header_fields_too_large", "The request head is larger than 16384 bytes."},
      {"not_implemented", "Transfer codings are not supported: send the body with a "
                          "Content-Length."},
      {"not_found", "There is no such route."},
      {"method_not_allowed", "This route does not take this method."},
      {"outside_root", "The path does not lie below the root."},
      {"microphone_denied", "The microphone may not be recorded."},
      {"unsupported_strategy", "No remote strategy of this name is offered."},
      {"dir_busy", "Another capture records in this directory."},
      {"too_many_captures", "Recording one more capture would leave too few connections; stop "
                            "one first."},
      {"busy", "A thread, descriptor or other resource could not be had; nothing was made. Try "
               "again later."},
      {"capture_failed", "The capture could not start; the service's standard error says why."},
      {"unsupported_format", "The input is not an audio file that can be decoded."},
      {"unreadable", "The input could not be read or decoded."},
      {"too_large", "The output would be longer than 2^31 frames."},
      {"insufficient_storage", "Writing the output would leave the recordings less than a minute "
                               "of room."},
      {"internal_server_error", "The request could not be answered."},
  };
  for (const auto& [known, message] : kMessages)
    if (known == code)
      return message;
  return "The request could not be answered.";
}

} // namespace

HTTPResponse HTTPResponse::error(int64_t status, std::string_view code, std::string_view message,
                                 std::string_view field) {
  Json body{{"error", std::string(code)},
            {"message", std::string(message.empty() ? usualMessage(code) : message)}};
  if (!field.empty())
    body["field"] = std::string(field);
  return HTTPResponse{status, std::move(body)};
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
