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
