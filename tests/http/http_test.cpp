#include "http/http_parser.h"
#include "http/http_response.h"
#include "http/text.h"
#include "http/token.h"

#include <gtest/gtest.h>

namespace va {
namespace {

using namespace text;
using Outcome = HTTPParser::Outcome;

HTTPRequest complete(std::string_view bytes) {
  Outcome outcome = HTTPParser::parse(bytes);
  auto* c = std::get_if<HTTPParser::Complete>(&outcome);
  EXPECT_NE(c, nullptr) << "not complete: " << bytes;
  return c ? c->request : HTTPRequest{};
}

std::string describe(const Outcome& o) {
  if (std::holds_alternative<HTTPParser::Incomplete>(o))
    return "incomplete";
  if (auto* r = std::get_if<HTTPParser::Refuse>(&o))
    return "refuse(" + std::to_string(r->status) + "," + std::to_string(r->drain) + ")";
  return "complete";
}

std::string get(std::string_view line, std::string_view headers = "") {
  return std::string(line) + "\r\n" + std::string(headers) + "\r\n";
}

std::string post(std::string_view headers, std::string_view body = "") {
  return get("POST / HTTP/1.1", headers) + std::string(body);
}

const std::string kBigHead = "GET / HTTP/1.1\r\nX: " + std::string(16384 - 19, 'a');

// The Content-Length rows only map the number to an outcome; its grammar is the Decimal test's.
TEST(HTTPParser, Outcomes) {
  // name, bytes, and "complete", "incomplete" or "refuse(status,drain)"
  const std::tuple<const char*, std::string, std::string> cases[] = {
      {"NoBlankLine", "GET / HTTP/1.1\r\nHost: x\r\n", "incomplete"},
      {"TwoParts", get("GET /a"), "refuse(400,0)"},
      {"Http2", get("GET /a HTTP/2"), "refuse(400,0)"},
      {"Http10", get("GET /a HTTP/1.0"), "complete"},
      {"TransferEncodingBeforeBadLength", post("Content-Length: abc\r\nTRANSFER-ENCODING: x\r\n"),
       "refuse(501,0)"},
      {"LengthAbc", post("Content-Length: abc\r\n"), "refuse(400,0)"},
      {"LengthNegative", post("Content-Length: -1\r\n"), "refuse(400,0)"},
      {"MaxBodyAllowedButIncomplete", post("Content-Length: 1048576\r\n"), "incomplete"},
      {"TooLargeDrainCountsReceived", post("Content-Length: 1048577\r\n", std::string(100, 'x')),
       "refuse(413,1048477)"},
      {"TooLargeMoreThanDeclaredReceived",
       post("Content-Length: 1048577\r\n", std::string(1048580, 'x')), "refuse(413,-3)"},
      {"Head16384NoTerminator", std::string(16384, 'a'), "incomplete"},
      {"Head16385NoTerminator", std::string(16385, 'a'), "refuse(431,0)"},
      {"Head16384WithTerminator", kBigHead + "\r\n\r\n", "complete"},
      {"Head16385WithTerminator", kBigHead + "a\r\n\r\n", "refuse(431,0)"},
      {"InvalidUtf8InHead", get("GET /\xff HTTP/1.1"), "refuse(431,0)"},
      {"InvalidUtf8InBodyIsFine", post("Content-Length: 2\r\n", "\xff\xfe"), "complete"},
  };
  for (const auto& [name, bytes, expected] : cases)
    EXPECT_EQ(describe(HTTPParser::parse(bytes)), expected) << name;
}

TEST(HTTPParser, HeaderNamesAndValues) {
  HTTPRequest r = complete(get("GET / HTTP/1.1",
                               "Content-Type:application/json\r\n"
                               "X-A :  b  \r\n"
                               "X-Empty:\r\n"
                               "Dup: 1\r\nDUP: 2\r\n"
                               "X-\xc3\x89T\xc3\x89: \xc3\x89\r\n" // É kept in the value
                               "A: 1\rB: 2\r\n"));                 // CR alone is no line break
  EXPECT_EQ(r.headers.at("content-type"), "application/json");
  EXPECT_EQ(r.headers.at("x-a "), "b");
  EXPECT_EQ(r.headers.at("x-empty"), "");
  EXPECT_EQ(r.headers.at("dup"), "2");
  EXPECT_EQ(r.headers.at("x-\xc3\xa9t\xc3\xa9"), "\xc3\x89");
  EXPECT_EQ(r.headers.at("a"), "1\rB: 2");
  EXPECT_EQ(r.headers.size(), 6u);
}

// Only the mapping from the target to path and query; the URI grammar is the Uri test's.
TEST(HTTPParser, Query) {
  const std::tuple<std::string, std::string, std::map<std::string, std::string>> cases[] = {
      {"/a?x=1&y=&z", "/a", {{"x", "1"}, {"y", ""}, {"z", ""}}},
      {"/a?name=a%20b+c", "/a", {{"name", "a b+c"}}},
      {"/a?k=1&k=2", "/a", {{"k", "2"}}},
      {"/a?x=1#y=2", "/a", {{"x", "1"}}},
      {"/a#frag", "/a#frag", {}},
      {"/a?", "/a", {}},
      {"/a?x=%zz&y=1", "/a", {}}, // not a URI reference: no query at all
      {"/a?x=%26&y=2", "/a", {{"x", "&"}, {"y", "2"}}},
  };
  for (const auto& [target, path, query] : cases) {
    HTTPRequest r = complete(get("GET " + target + " HTTP/1.1"));
    EXPECT_EQ(r.path, path) << target;
    EXPECT_EQ(r.query, query) << target;
  }
}

// Shapes that make two parsers disagree on where a request ends. Whatever the shape, at most one
// length is given, and a line that is not a header line either refuses or stays inside its line.
struct SmuggleCase {
  const char* name;
  std::string bytes;
  std::string expected; // as in Case
  std::string body;     // when complete
  friend void PrintTo(const SmuggleCase& c, std::ostream* os) { *os << c.name; }
};

class ParserSmuggling : public testing::TestWithParam<SmuggleCase> {};

TEST_P(ParserSmuggling, UsesOneLengthOrRefuses) {
  Outcome outcome = HTTPParser::parse(GetParam().bytes);
  ASSERT_EQ(describe(outcome), GetParam().expected);
  if (auto* c = std::get_if<HTTPParser::Complete>(&outcome)) {
    EXPECT_EQ(c->request.body, GetParam().body);
  }
}

const std::string kPost = "POST /captures HTTP/1.1";

INSTANTIATE_TEST_SUITE_P(
    Table, ParserSmuggling,
    testing::Values(
        SmuggleCase{"LengthThenChunked",
                    get(kPost, "Content-Length: 5\r\nTransfer-Encoding: chunked\r\n") + "0\r\n\r\n",
                    "refuse(501,0)", ""},
        SmuggleCase{"ChunkedThenLength",
                    get(kPost, "Transfer-Encoding: chunked\r\nContent-Length: 5\r\n") + "hello",
                    "refuse(501,0)", ""},
        SmuggleCase{"EmptyTransferEncoding", get(kPost, "Transfer-Encoding:\r\n"), "refuse(501,0)",
                    ""},
        SmuggleCase{"ShorterLaterLength",
                    get(kPost, "Content-Length: 11\r\nContent-Length: 5\r\n") +
                        "helloGET /x HTTP/1.1\r\n\r\n",
                    "refuse(400,0)", ""},
        SmuggleCase{"LongerLaterLength",
                    get(kPost, "Content-Length: 5\r\ncontent-length: 11\r\n") + "hello",
                    "refuse(400,0)", ""},
        SmuggleCase{"EqualLengths",
                    get(kPost, "Content-Length: 5\r\nContent-Length: 5\r\n") + "hello",
                    "refuse(400,0)", ""},
        SmuggleCase{"BadLaterLengthRefuses",
                    get(kPost, "Content-Length: 5\r\nContent-Length: 5, 5\r\n") + "hello",
                    "refuse(400,0)", ""},
        SmuggleCase{"FoldedLineWithoutColon", get(kPost, "Content-Length: 5\r\n 6\r\n") + "hello!",
                    "refuse(400,0)", ""},
        SmuggleCase{"FoldedTabLineWithoutColon", get(kPost, "X-A: 1\r\n\tmore\r\n"),
                    "refuse(400,0)", ""},
        // A folded line with a colon is a header of its own, named with its leading space: it
        // neither continues the line above nor gives a length.
        SmuggleCase{"FoldedLengthIsNotALength",
                    get(kPost, "X-A: 1\r\n Content-Length: 5\r\n") + "hello", "complete", ""},
        SmuggleCase{"SpaceBeforeColonIsNotALength", get(kPost, "Content-Length : 5\r\n") + "hello",
                    "complete", ""},
        SmuggleCase{"SpaceBeforeColonIsNotChunked",
                    get(kPost, "Transfer-Encoding : chunked\r\nContent-Length: 5\r\n") + "hello",
                    "complete", "hello"},
        // Bare LF never ends a line: the head has not ended, or the header stays in its line.
        SmuggleCase{"BareLfHead", kPost + "\nContent-Length: 5\n\nhello", "incomplete", ""},
        SmuggleCase{"BareLfHeadTooLong", kPost + "\nX: " + std::string(16384, 'a') + "\n\n",
                    "refuse(431,0)", ""},
        SmuggleCase{"BareLfHidesALength", get(kPost, "X-A: 1\nContent-Length: 5\r\n") + "hello",
                    "complete", ""},
        SmuggleCase{"BareLfBeforeBlankLine", kPost + "\r\nContent-Length: 5\r\n\n\r\nhello",
                    "incomplete", ""}),
    [](const auto& p) { return std::string(p.param.name); });

bool sameOutcome(const Outcome& a, const Outcome& b) {
  auto* x = std::get_if<HTTPParser::Complete>(&a);
  auto* y = std::get_if<HTTPParser::Complete>(&b);
  if (x && y)
    return x->request.method == y->request.method && x->request.path == y->request.path &&
           x->request.headers == y->request.headers && x->request.body == y->request.body &&
           x->request.query == y->request.query;
  return describe(a) == describe(b);
}

// The server feeds one Stream the growing buffer: at every byte it answers as the parser does
// over that prefix, whatever the request turns out to be.
TEST(HTTPParser, AStreamAnswersAsTheParserAtEveryByte) {
  const std::string requests[] = {
      get("POST /captures?a=%20b HTTP/1.1", "Content-Length: 11\r\nA: b\r\n") + "{\"x\":[1,2]}",
      get("POST / HTTP/1.1", "Content-Length: 1048577\r\n") + std::string(100, 'x'),
      get("POST / HTTP/1.1", "Transfer-Encoding: chunked\r\nContent-Length: 3\r\n") + "abc",
      get("POST / HTTP/1.1", "Content-Length: 5\r\nContent-Length: 2\r\n") + "hello",
      "POST / HTTP/1.1\r\nContent-Length: 5\n\r\n\r\nhello",
      get("GET /\xff HTTP/1.1"),
      get("GET / HTTP/1.1", "Bogus\r\n"),
      kBigHead + "\r\n\r\n",
      kBigHead + "aa\r\n\r\n",
  };
  for (const std::string& full : requests) {
    HTTPParser::Stream stream;
    bool headSeen = false;
    for (size_t n = 0; n <= full.size(); ++n) {
      std::string_view prefix(full.data(), n);
      Outcome expected = HTTPParser::parse(prefix);
      ASSERT_TRUE(sameOutcome(stream.next(prefix), expected)) << n << " of " << full.size();
      headSeen = headSeen || stream.head();
      // A refused head is kept only for a 413: the token is checked on it first.
      if (auto* refusal = std::get_if<HTTPParser::Refuse>(&expected)) {
        EXPECT_EQ(stream.head() != nullptr, refusal->status == 413);
      }
    }
    Outcome whole = HTTPParser::parse(full);
    auto* refusal = std::get_if<HTTPParser::Refuse>(&whole);
    EXPECT_EQ(headSeen, refusal ? refusal->status == 413
                                : std::holds_alternative<HTTPParser::Complete>(whole));
  }
}

// The 401 byte for byte; a stray byte in a device name keeps the status and the data. The other
// reason phrases are checked byte for byte in the server's tests.
TEST(HTTPResponse, Serializes) {
  const std::string body =
      R"({"error":"unauthorized","message":"The request needs the header )"
      R"(\"Authorization: Bearer <token>\" with the token of the READY line."})";
  EXPECT_EQ(HTTPResponse::error(401, "unauthorized").serialized(),
            "HTTP/1.1 401 Unauthorized\r\nContent-Type: application/json\r\nContent-Length: " +
                std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
  EXPECT_EQ(HTTPResponse::error(400, "bad_request", "Why.", "mic.deviceUid").json,
            Json({{"error", "bad_request"}, {"message", "Why."}, {"field", "mic.deviceUid"}}));
  std::string s = HTTPResponse{200, Json{{"name", "Mic \xff\xfe X"}, {"ok", true}}}.serialized();
  EXPECT_TRUE(s.starts_with("HTTP/1.1 200 OK\r\n"));
  EXPECT_TRUE(s.ends_with("{\"name\":\"Mic \xef\xbf\xbd\xef\xbf\xbd X\",\"ok\":true}")) << s;
  std::string phrases;
  for (int64_t status : {403, 404, 405, 415, 422, 201, 0})
    phrases += std::string(HTTPResponse::reason(status)) + "|";
  EXPECT_EQ(phrases, "Forbidden|Not Found|Method Not Allowed|Unsupported Media Type|"
                     "Unprocessable Content|Status|Status|");
}

// Wrong and longer tokens are the server's rows; the form, 64 lower-case hex digits, is checked
// on the binary's READY line.
TEST(Token, GeneratesFreshHexAndComparesBytes) {
  auto a = Token::generate(), b = Token::generate();
  ASSERT_TRUE(a && b);
  EXPECT_NE(*a, *b);
  // Lengths that differ but whose padded bytes match still differ.
  EXPECT_FALSE(Token::equal("ab", std::string("ab\0", 3)));
}

TEST(Utf8, ValidatesStrictly) {
  const std::pair<std::string, bool> cases[] = {
      {"", true},
      {"\xc3\xa9", true},             // é
      {"\xe2\x82\xac", true},         // €
      {"\xf0\x9f\x8e\xa4", true},     // U+1F3A4
      {"\xf4\x8f\xbf\xbf", true},     // U+10FFFF
      {std::string("a\0b", 3), true}, // NUL is a code point
      {"\x80", false},                // stray continuation
      {"\xc3", false},                // truncated
      {"\xc0\x80", false},            // overlong NUL
      {"\xe0\x80\xaf", false},        // overlong
      {"\xed\xa0\x80", false},        // surrogate U+D800
      {"\xf0\x8f\xbf\xbf", false},    // overlong 4-byte
      {"\xf4\x90\x80\x80", false},    // above U+10FFFF
      {"\xff", false},
      {"\xe2\x82", false},     // truncated 3-byte
      {"\xe2\x28\xa1", false}, // bad continuation
  };
  for (const auto& [bytes, valid] : cases)
    EXPECT_EQ(isValidUtf8(bytes), valid) << testing::PrintToString(bytes);
}

TEST(Unicode, LowerCasesFullyAndTrimsSpaceSeparators) {
  EXPECT_EQ(toLower("Content-LENGTH"), "content-length");
  EXPECT_EQ(toLower("\xc4\xb0"), "i\xcc\x87");                        // İ -> i + U+0307
  EXPECT_EQ(toLower("\xe2\x84\xaa"), "k");                            // KELVIN SIGN -> k
  EXPECT_EQ(toLower("\xc4\x80\xc4\x82"), "\xc4\x81\xc4\x83");         // alternating run
  EXPECT_EQ(toLower("\xf0\x90\x90\x80"), "\xf0\x90\x90\xa8");         // Deseret, 4 bytes
  EXPECT_EQ(toLower("\xc3\x9f\xe2\x82\xac"), "\xc3\x9f\xe2\x82\xac"); // ß € unchanged
  // Trimming takes tabs and space separators (Zs), nothing else.
  EXPECT_EQ(trimSpaces("\t\xc2\xa0v\xe2\x80\x8a\xe3\x80\x80"), "v"); // U+00A0, U+200A, U+3000
  EXPECT_EQ(trimSpaces("\xe2\x80\x8bv"), "\xe2\x80\x8bv");           // U+200B is not Zs
  EXPECT_EQ(trimSpaces("\nv\r"), "\nv\r");                           // line breaks stay
  EXPECT_EQ(trimSpaces("   "), "");
  EXPECT_EQ(trimSpaces("\xc3\xa9 "), "\xc3\xa9");
}

TEST(Uri, RecognisesReferencesAndDecodes) {
  for (const char* valid :
       {"/a", "/a.b?x=1", "", "a/b", "/a%20b", "http://h/p", "//h:80/p", "//u:p@h/p", "//[::1]/",
        "//[::1]:8/p", "//[v1.x]/", "//[1:2:3:4:5:6:7:8]/", "//[::ffff:1.2.3.4]/", "a+b.c-d:x",
        "/a#f?/", "/a?b#c"})
    EXPECT_TRUE(isUriReference(valid)) << valid;
  for (const char* invalid : {"/a%2", "/a b", "/a|b", "//h:8x/p", "//[1:2:3:4:5:6:7]/",
                              "//[::1::2]/p", "//[::1.2.3.256]/", "1a:b", "/a#f#g"})
    EXPECT_FALSE(isUriReference(invalid)) << invalid;
  EXPECT_EQ(percentDecode("%41%6a"), "Aj");
  EXPECT_EQ(percentDecode("%"), std::nullopt);
  EXPECT_EQ(percentDecode("%4"), std::nullopt);
  EXPECT_EQ(percentDecode("%g0"), std::nullopt);
}

} // namespace
} // namespace va
