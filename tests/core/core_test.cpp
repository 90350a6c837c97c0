#include "core/decimal.h"
#include "core/json.h"
#include "core/random.h"

#include <gtest/gtest.h>
#include <set>

namespace va {
namespace {

TEST(Json, WritesCompactSortedWithEscapedSlashes) {
  Json v = {{"b", 1}, {"a", {{"y", "a/b"}, {"x", Json::array({1, 2})}}}, {"c", "é"}};
  EXPECT_EQ(writeJson(v), R"({"a":{"x":[1,2],"y":"a\/b"},"b":1,"c":"é"})");
  EXPECT_EQ(writeJson(Json{{"s", "quote\" back\\ nl\n"}}), R"({"s":"quote\" back\\ nl\n"})");
}

TEST(Json, ReplacesEachInvalidSequence) {
  EXPECT_EQ(writeJson(Json{{"n", std::string("a\xff") + "b"}}), "{\"n\":\"a\xef\xbf\xbd"
                                                                "b\"}");
  EXPECT_EQ(writeJson(Json{{"n", std::string("\xe2\x82") + "z"}}), "{\"n\":\"\xef\xbf\xbdz\"}");
}

TEST(Json, ParsesOrRefuses) {
  EXPECT_EQ(parseJson(R"({"a":1})"), Json({{"a", 1}}));
  EXPECT_FALSE(parseJson("{").has_value());
  EXPECT_FALSE(parseJson("").has_value());
}

TEST(Decimal, SignedIntegersAndNothingElse) {
  struct Case {
    const char* text;
    std::optional<int64_t> value64;
    std::optional<int32_t> value32;
  };
  const Case cases[] = {
      {"0", 0, 0},
      {"+7", 7, 7},
      {"-0", 0, 0},
      {"007", 7, 7},
      {"2147483647", 2147483647, INT32_MAX},
      {"-2147483648", -2147483648LL, INT32_MIN},
      {"2147483648", 2147483648LL, std::nullopt},
      {"9223372036854775807", INT64_MAX, std::nullopt},
      {"-9223372036854775808", INT64_MIN, std::nullopt},
      {"9223372036854775808", std::nullopt, std::nullopt},
      {"99999999999999999999", std::nullopt, std::nullopt},
      {"", std::nullopt, std::nullopt},
      {"+", std::nullopt, std::nullopt},
      {"-", std::nullopt, std::nullopt},
      {"+-1", std::nullopt, std::nullopt},
      {"--1", std::nullopt, std::nullopt},
      {" 1", std::nullopt, std::nullopt},
      {"1 ", std::nullopt, std::nullopt},
      {"1.0", std::nullopt, std::nullopt},
      {"1e3", std::nullopt, std::nullopt},
      {"0x10", std::nullopt, std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(parseDecimal<int64_t>(c.text), c.value64) << '"' << c.text << '"';
    EXPECT_EQ(parseDecimal<int32_t>(c.text), c.value32) << '"' << c.text << '"';
  }
}

TEST(Random, UuidsAreLowerCaseVersion4) {
  std::set<std::string> seen;
  for (int i = 0; i < 100; ++i) {
    auto id = randomUUID();
    ASSERT_TRUE(id);
    ASSERT_EQ(id->size(), 36u);
    for (size_t k : {8u, 13u, 18u, 23u})
      EXPECT_EQ((*id)[k], '-');
    EXPECT_EQ((*id)[14], '4');
    EXPECT_NE(std::string("89ab").find((*id)[19]), std::string::npos);
    EXPECT_EQ(id->find_first_not_of("0123456789abcdef-"), std::string::npos);
    seen.insert(*id);
  }
  EXPECT_EQ(seen.size(), 100u);
}

} // namespace
} // namespace va
