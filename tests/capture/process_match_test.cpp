#include "capture/process_match.h"

#include "core/json.h"

#include <gtest/gtest.h>

namespace va {
namespace {

using Ids = std::vector<std::string>;

TEST(ProcessMatchTest, ParsesOnlyAValidMatch) {
  const std::tuple<const char*, const char*, std::optional<ProcessMatch>> cases[] = {
      {"not an object", R"(["com.a"])", std::nullopt},
      {"null", "null", std::nullopt},
      {"a string", R"("com.a")", std::nullopt},
      {"no keys", R"({})", std::nullopt},
      {"only unknown keys", R"({"pids":[1]})", std::nullopt},
      {"ids missing beside prefixes", R"({"bundlePrefixes":["com.a"]})", std::nullopt},
      {"ids not an array", R"({"bundleIds":"com.a"})", std::nullopt},
      {"ids not strings", R"({"bundleIds":[1]})", std::nullopt},
      {"ids partly strings", R"({"bundleIds":["com.a",null]})", std::nullopt},
      {"ids empty, prefixes absent", R"({"bundleIds":[]})", std::nullopt},
      {"both empty", R"({"bundleIds":[],"bundlePrefixes":[]})", std::nullopt},
      // A malformed prefix list counts as absent, so it cannot make up for empty ids.
      {"ids empty, prefixes malformed", R"({"bundleIds":[],"bundlePrefixes":"com.a"})",
       std::nullopt},
      {"empty id", R"({"bundleIds":["","com.a"]})", std::nullopt},
      {"empty prefix", R"({"bundleIds":["com.a"],"bundlePrefixes":["com.b",""]})", std::nullopt},
      {"prefixes alone", R"({"bundleIds":[],"bundlePrefixes":["com.x"]})",
       ProcessMatch{{}, {"com.x"}, true}},
      {"prefixes a string", R"({"bundleIds":["com.a"],"bundlePrefixes":"com.b"})",
       ProcessMatch{{"com.a"}, {}, true}},
      {"prefixes partly strings", R"({"bundleIds":["com.a"],"bundlePrefixes":["com.b",2]})",
       ProcessMatch{{"com.a"}, {}, true}},
      {"defer absent", R"({"bundleIds":["com.a"]})", ProcessMatch{{"com.a"}, {}, true}},
      {"defer a string", R"({"bundleIds":["com.a"],"deferUntilIO":"false"})",
       ProcessMatch{{"com.a"}, {}, true}},
      {"defer a number", R"({"bundleIds":["com.a"],"deferUntilIO":0})",
       ProcessMatch{{"com.a"}, {}, true}},
      {"defer false", R"({"bundleIds":["com.a"],"deferUntilIO":false})",
       ProcessMatch{{"com.a"}, {}, false}},
      {"lists kept as sent",
       R"({"bundleIds":["com.b","com.a","com.b"," Com.A "],"bundlePrefixes":["z.","A.","z."],
           "deferUntilIO":true,"extra":{"x":1}})",
       ProcessMatch{{"com.b", "com.a", "com.b", " Com.A "}, {"z.", "A.", "z."}, true}},
  };
  for (const auto& [name, json, expected] : cases)
    EXPECT_EQ(ProcessMatch::fromJson(Json::parse(json)), expected) << name;
}

// The flags cycle through all four combinations by position, so a case whose input repeats one
// identity four times shows that running state never decides.
std::vector<AudioProcessInfo> processes(const Ids& identities) {
  std::vector<AudioProcessInfo> out;
  for (uint32_t i = 0; i < identities.size(); ++i)
    out.push_back(
        {100 + i, static_cast<int32_t>(2000 + i), identities[i], (i & 1) != 0, (i & 2) != 0});
  return out;
}

TEST(ProcessMatchTest, SelectsByExactIdentityOrPrefix) {
  // The identities listed and the positions of those picked.
  const std::tuple<const char*, ProcessMatch, Ids, std::vector<size_t>> cases[] = {
      {"exact is case-sensitive and whole",
       {{"com.example.App"}, {}, true},
       {"com.example.app", "com.example.App.Player", "com.example.App", "com.example.Ap"},
       {2}},
      {"prefix covers itself and longer identities",
       {{}, {"com.example.App"}, true},
       {"com.example.App", "com.example.app", "com.example.App.Player", "org.com.example.App"},
       {0, 2}},
      {"input order, not list order",
       {{"c", "a"}, {"b."}, true},
       {"a", "b.x", "x", "c", "b.y", "a"},
       {0, 1, 3, 4, 5}},
      {"running state plays no part",
       {{"com.a"}, {"com.b"}, true},
       {"com.a", "com.a", "com.a", "com.a", "x", "x", "x", "x", "com.b.1", "com.b.2"},
       {0, 1, 2, 3, 8, 9}},
      {"no identity, no match", {{"com.a"}, {"com"}, true}, {"", "com.a", ""}, {1}},
      // fromJson never yields empty entries; a match built in code must still not pick a process
      // without an identity, though every string starts with "".
      {"no identity beside empty entries", {{""}, {""}, true}, {"", "x", ""}, {1}},
      {"nothing listed", {{"com.a"}, {}, true}, {}, {}},
  };
  for (const auto& [name, match, identities, picked] : cases) {
    SCOPED_TRACE(name);
    const auto input = processes(identities);
    std::vector<AudioProcessInfo> expected;
    for (size_t i : picked)
      expected.push_back(input[i]);
    EXPECT_EQ(match.select(input), expected);
  }
}

} // namespace
} // namespace va
