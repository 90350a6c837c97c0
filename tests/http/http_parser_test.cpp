#include "http/http_parser.h"

#include <gtest/gtest.h>

namespace va {
namespace {

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

struct Case {
  const char* name;
  std::string bytes;
  std::string expected; // "complete", "incomplete" or "refuse(status,drain)"
  friend void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }
};

std::string get(std::string_view line, std::string_view headers = "") {
  return std::string(line) + "\r\n" + std::string(headers) + "\r\n";
}

class ParserOutcome : public testing::TestWithParam<Case> {};

TEST_P(ParserOutcome, Decides) {
  EXPECT_EQ(describe(HTTPParser::parse(GetParam().bytes)), GetParam().expected);
}

const std::string kBigHead = "GET / HTTP/1.1\r\nX: " + std::string(16384 - 19, 'a');

INSTANTIATE_TEST_SUITE_P(
    Table, ParserOutcome,
    testing::Values(
        Case{"Minimal", get("GET /health HTTP/1.1"), "complete"}, Case{"Empty", "", "incomplete"},
        Case{"NoBlankLine", "GET / HTTP/1.1\r\nHost: x\r\n", "incomplete"},
        Case{"EmptyRequestLine", "\r\n\r\n", "refuse(400,0)"},
        Case{"TwoSpaces", get("GET  /a HTTP/1.1"), "refuse(400,0)"},
        Case{"TwoParts", get("GET /a"), "refuse(400,0)"},
        Case{"FourParts", get("GET /a HTTP/1.1 x"), "refuse(400,0)"},
        Case{"TrailingSpace", get("GET /a HTTP/1.1 "), "refuse(400,0)"},
        Case{"Http2", get("GET /a HTTP/2"), "refuse(400,0)"},
        Case{"LowerCaseProtocol", get("GET /a http/1.1"), "refuse(400,0)"},
        Case{"Http10", get("GET /a HTTP/1.0"), "complete"},
        Case{"Http1Anything", get("GET /a HTTP/1.x"), "complete"},
        Case{"LowerCaseMethod", get("get /a HTTP/1.1"), "complete"},
        Case{"LoneLfStaysInLine", "GET /a HTTP/1.1\nX:y\r\n\r\n", "complete"},
        Case{"HeaderWithoutColon", get("GET / HTTP/1.1", "Bogus\r\n"), "refuse(400,0)"},
        Case{"EmptyHeaderName", get("GET / HTTP/1.1", ":v\r\n"), "complete"},
        Case{"TransferEncoding", get("GET / HTTP/1.1", "Transfer-Encoding: chunked\r\n"),
             "refuse(501,0)"},
        Case{"TransferEncodingBeforeLength",
             get("POST / HTTP/1.1", "Content-Length: 5\r\nTransfer-Encoding: x\r\n") + "hello",
             "refuse(501,0)"},
        Case{"TransferEncodingBeforeBadLength",
             get("POST / HTTP/1.1", "Content-Length: abc\r\nTRANSFER-ENCODING: x\r\n"),
             "refuse(501,0)"},
        Case{"LengthAbc", get("POST / HTTP/1.1", "Content-Length: abc\r\n"), "refuse(400,0)"},
        Case{"LengthNegative", get("POST / HTTP/1.1", "Content-Length: -1\r\n"), "refuse(400,0)"},
        Case{"LengthEmpty", get("POST / HTTP/1.1", "Content-Length:\r\n"), "refuse(400,0)"},
        Case{"LengthSignOnly", get("POST / HTTP/1.1", "Content-Length: +\r\n"), "refuse(400,0)"},
        Case{"LengthTwoSigns", get("POST / HTTP/1.1", "Content-Length: +-1\r\n"), "refuse(400,0)"},
        Case{"LengthInnerSpace", get("POST / HTTP/1.1", "Content-Length: 1 2\r\n"),
             "refuse(400,0)"},
        Case{"LengthHex", get("POST / HTTP/1.1", "Content-Length: 0x10\r\n"), "refuse(400,0)"},
        Case{"LengthMinusZero", get("POST / HTTP/1.1", "Content-Length: -0\r\n"), "complete"},
        Case{"LengthPlus", get("POST / HTTP/1.1", "Content-Length: +5\r\n") + "hello", "complete"},
        Case{"LengthInt64Max", get("POST / HTTP/1.1", "Content-Length: 9223372036854775807\r\n"),
             "refuse(413,9223372036854775807)"},
        Case{"LengthInt64Overflow",
             get("POST / HTTP/1.1", "Content-Length: 9223372036854775808\r\n"), "refuse(400,0)"},
        Case{"LengthInt64MinIsNegative",
             get("POST / HTTP/1.1", "Content-Length: -9223372036854775808\r\n"), "refuse(400,0)"},
        Case{"BodyShort", get("POST / HTTP/1.1", "Content-Length: 5\r\n") + "abc", "incomplete"},
        Case{"BodyExact", get("POST / HTTP/1.1", "Content-Length: 5\r\n") + "abcde", "complete"},
        Case{"BodyLonger", get("POST / HTTP/1.1", "Content-Length: 5\r\n") + "abcdefghi",
             "complete"},
        Case{"MaxBodyAllowedButIncomplete", get("POST / HTTP/1.1", "Content-Length: 1048576\r\n"),
             "incomplete"},
        Case{"TooLargeDrainCountsReceived",
             get("POST / HTTP/1.1", "Content-Length: 1048577\r\n") + std::string(100, 'x'),
             "refuse(413,1048477)"},
        Case{"TooLargeNothingReceived", get("POST / HTTP/1.1", "Content-Length: 2097152\r\n"),
             "refuse(413,2097152)"},
        Case{"TooLargeMoreThanDeclaredReceived",
             get("POST / HTTP/1.1", "Content-Length: 1048577\r\n") + std::string(1048580, 'x'),
             "refuse(413,-3)"},
        Case{"Head16384NoTerminator", std::string(16384, 'a'), "incomplete"},
        Case{"Head16385NoTerminator", std::string(16385, 'a'), "refuse(431,0)"},
        Case{"Head16384WithTerminator", kBigHead + "\r\n\r\n", "complete"},
        Case{"Head16385WithTerminator", kBigHead + "a\r\n\r\n", "refuse(431,0)"},
        Case{"InvalidUtf8InHead", get("GET /\xff HTTP/1.1"), "refuse(431,0)"},
        Case{"OverlongUtf8InHeader", get("GET / HTTP/1.1", "X: \xc0\xaf\r\n"), "refuse(431,0)"},
        Case{"SurrogateInHeader", get("GET / HTTP/1.1", "X: \xed\xa0\x80\r\n"), "refuse(431,0)"},
        Case{"InvalidUtf8InBodyIsFine",
             get("POST / HTTP/1.1", "Content-Length: 2\r\n") + "\xff\xfe", "complete"},
        Case{"ValidUtf8InHead", get("GET /\xc3\xa9 HTTP/1.1", "X-\xc3\x89: \xe2\x82\xac\r\n"),
             "complete"}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(HTTPParser, HeaderNamesAndValues) {
  HTTPRequest r = complete(get("GET / HTTP/1.1",
                               "Content-Type:application/json\r\n"
                               "X-A :  b  \r\n"
                               "X-Tab:\tv\t\r\n"
                               "X-Nbsp: \xc2\xa0v\xe3\x80\x80\r\n" // U+00A0 ... U+3000
                               "X-Empty:\r\n"
                               "Dup: 1\r\nDUP: 2\r\n"
                               "X-\xc3\x89T\xc3\x89: \xc3\x89\r\n" // É kept in the value
                               "\xc4\xb0: dotted\r\n"));           // U+0130
  EXPECT_EQ(r.headers.at("content-type"), "application/json");
  EXPECT_EQ(r.headers.at("x-a "), "b");
  EXPECT_EQ(r.headers.at("x-tab"), "v");
  EXPECT_EQ(r.headers.at("x-nbsp"), "v");
  EXPECT_EQ(r.headers.at("x-empty"), "");
  EXPECT_EQ(r.headers.at("dup"), "2");
  EXPECT_EQ(r.headers.at("x-\xc3\xa9t\xc3\xa9"), "\xc3\x89");
  EXPECT_EQ(r.headers.at("i\xcc\x87"), "dotted");
  EXPECT_EQ(r.headers.size(), 8u);
}

TEST(HTTPParser, CarriageReturnAloneIsNotALineBreak) {
  HTTPRequest r = complete("GET / HTTP/1.1\r\nA: 1\rB: 2\r\n\r\n");
  EXPECT_EQ(r.headers.at("a"), "1\rB: 2");
}

TEST(HTTPParser, BodyIsExactlyContentLength) {
  HTTPRequest r = complete(get("POST /x HTTP/1.1", "Content-Length: 5\r\n") + "abcdeGET / HTTP");
  EXPECT_EQ(r.body, "abcde");
  EXPECT_EQ(complete(get("POST / HTTP/1.1") + "ignored").body, "");
}

struct QueryCase {
  const char* name;
  std::string target;
  std::string path;
  std::map<std::string, std::string> query;
  friend void PrintTo(const QueryCase& c, std::ostream* os) { *os << c.name; }
};

class ParserQuery : public testing::TestWithParam<QueryCase> {};

TEST_P(ParserQuery, Decodes) {
  HTTPRequest r = complete(get("GET " + GetParam().target + " HTTP/1.1"));
  EXPECT_EQ(r.path, GetParam().path);
  EXPECT_EQ(r.query, GetParam().query);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ParserQuery,
    testing::Values(QueryCase{"Items", "/a?x=1&y=&z", "/a", {{"x", "1"}, {"y", ""}, {"z", ""}}},
                    QueryCase{"PlusStaysPlus", "/a?name=a%20b+c", "/a", {{"name", "a b+c"}}},
                    QueryCase{"LaterWins", "/a?k=1&k=2", "/a", {{"k", "2"}}},
                    QueryCase{"FirstEqualsSplits", "/a?k=a=b", "/a", {{"k", "a=b"}}},
                    QueryCase{"EncodedName", "/a?%61fter=3", "/a", {{"after", "3"}}},
                    QueryCase{"FragmentEndsQuery", "/a?x=1#y=2", "/a", {{"x", "1"}}},
                    QueryCase{"FragmentStaysInPath", "/a#frag", "/a#frag", {}},
                    QueryCase{"EmptyQuery", "/a?", "/a", {}},
                    QueryCase{"QuestionMarkInQuery", "/a?x=?&y=/", "/a", {{"x", "?"}, {"y", "/"}}},
                    QueryCase{"BadEscapeEmptiesQuery", "/a?x=%zz&y=1", "/a", {}},
                    QueryCase{"TruncatedEscapeEmptiesQuery", "/a?x=%2", "/a", {}},
                    QueryCase{"NonAsciiIsNotAUri", "/a?x=\xc3\xa9", "/a", {}},
                    QueryCase{"BracketNotAllowedInQuery", "/a?x=[1]", "/a", {}},
                    QueryCase{"AbsoluteUri",
                              "http://127.0.0.1:80/a?after=5",
                              "http://127.0.0.1:80/a",
                              {{"after", "5"}}},
                    QueryCase{"ColonInFirstSegmentIsNotAUri", "a:b:/c?x=1", "a:b:/c", {{"x", "1"}}},
                    QueryCase{"RelativeColonSegment", "1a:b?x=1", "1a:b", {}},
                    QueryCase{"Ipv6Authority", "//[::1]:8/p?x=1", "//[::1]:8/p", {{"x", "1"}}},
                    QueryCase{"BadIpv6Authority", "//[::1::2]/p?x=1", "//[::1::2]/p", {}},
                    QueryCase{"EncodedAmpersand", "/a?x=%26&y=2", "/a", {{"x", "&"}, {"y", "2"}}}),
    [](const auto& p) { return std::string(p.param.name); });

// Shapes that make two parsers disagree on where a request ends. Whatever the shape, exactly one
// length is used, and a line that is not a header line either refuses or stays inside its line.
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
        SmuggleCase{"LaterLengthWinsWhenShorter",
                    get(kPost, "Content-Length: 11\r\nContent-Length: 5\r\n") +
                        "helloGET /x HTTP/1.1\r\n\r\n",
                    "complete", "hello"},
        SmuggleCase{"LaterLengthWinsWhenLonger",
                    get(kPost, "Content-Length: 5\r\ncontent-length: 11\r\n") + "hello world",
                    "complete", "hello world"},
        SmuggleCase{"LaterLengthWaitsForItsBody",
                    get(kPost, "Content-Length: 5\r\nContent-Length: 11\r\n") + "hello",
                    "incomplete", ""},
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
      if (std::holds_alternative<HTTPParser::Refuse>(expected)) {
        EXPECT_EQ(stream.head(), nullptr);
      }
    }
    EXPECT_EQ(headSeen, std::holds_alternative<HTTPParser::Complete>(HTTPParser::parse(full)));
  }
}

} // namespace
} // namespace va
