#include "http/http_response.h"
#include "http/token.h"

#include <gtest/gtest.h>

namespace va {
namespace {

TEST(HTTPResponse, UnauthorizedIsByteExact) {
  EXPECT_EQ(HTTPResponse::error(401, "unauthorized").serialized(),
            "HTTP/1.1 401 Unauthorized\r\nContent-Type: application/json\r\nContent-Length: 24\r\n"
            "Connection: close\r\n\r\n{\"error\":\"unauthorized\"}");
}

TEST(HTTPResponse, ReasonPhrases) {
  const std::pair<int64_t, const char*> table[] = {
      // The others are checked byte for byte in the server's tests.
      {403, "Forbidden"},
      {404, "Not Found"},
      {405, "Method Not Allowed"},
      {415, "Unsupported Media Type"},
      {422, "Unprocessable Content"},
      {201, "Status"},
      {409, "Status"},
      {0, "Status"},
  };
  for (const auto& [status, phrase] : table)
    EXPECT_EQ(HTTPResponse::reason(status), phrase) << status;
  HTTPResponse created{201, Json{{"captureId", "x"}}};
  EXPECT_TRUE(created.serialized().starts_with("HTTP/1.1 201 Status\r\n"));
}

TEST(HTTPResponse, InvalidUtf8InANameIsReplacedNotDropped) {
  // A device name from the platform with a stray byte: the answer keeps its status and data.
  HTTPResponse r{200, Json{{"name", std::string("Mic \xff\xfe X")}, {"ok", true}}};
  std::string s = r.serialized();
  EXPECT_TRUE(s.starts_with("HTTP/1.1 200 OK\r\n"));
  EXPECT_TRUE(s.ends_with("{\"name\":\"Mic \xef\xbf\xbd\xef\xbf\xbd X\",\"ok\":true}")) << s;
}

TEST(Token, GeneratesFreshHex) {
  auto a = Token::generate(), b = Token::generate();
  ASSERT_TRUE(a && b);
  EXPECT_EQ(a->size(), 64u);
  EXPECT_EQ(a->find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_NE(*a, *b);
}

TEST(Token, EqualComparesBytes) {
  const std::tuple<std::string, std::string, bool> cases[] = {
      {"", "", true},         {"abc", "abc", true}, {"abc", "abd", false},  {"abc", "abcd", false},
      {"abcd", "abc", false}, {"", "a", false},     {"abc", "ab\0", false}, {"\xff", "\xff", true},
  };
  for (const auto& [a, b, eq] : cases)
    EXPECT_EQ(Token::equal(a, b), eq) << a << " vs " << b;
  // Lengths that differ but whose padded bytes match still differ.
  EXPECT_FALSE(Token::equal("ab", std::string("ab\0", 3)));
}

} // namespace
} // namespace va
