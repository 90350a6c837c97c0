#include "http/text.h"

#include <gtest/gtest.h>

namespace va::text {
namespace {

TEST(Utf8, ValidatesStrictly) {
  struct Case {
    std::string bytes;
    bool valid;
  };
  const Case cases[] = {
      {"", true},
      {"plain", true},
      {"\xc3\xa9", true},             // é
      {"\xe2\x82\xac", true},         // €
      {"\xf0\x9f\x8e\xa4", true},     // U+1F3A4
      {"\xf4\x8f\xbf\xbf", true},     // U+10FFFF
      {std::string("a\0b", 3), true}, // NUL is a code point
      {"\x80", false},                // stray continuation
      {"\xc3", false},                // truncated
      {"\xc0\x80", false},            // overlong NUL
      {"\xc1\xbf", false},            // overlong
      {"\xe0\x80\xaf", false},        // overlong
      {"\xed\xa0\x80", false},        // surrogate U+D800
      {"\xf0\x8f\xbf\xbf", false},    // overlong 4-byte
      {"\xf4\x90\x80\x80", false},    // above U+10FFFF
      {"\xf5\x80\x80\x80", false},
      {"\xff", false},
      {"\xe2\x82", false},     // truncated 3-byte
      {"\xe2\x28\xa1", false}, // bad continuation
  };
  for (const Case& c : cases)
    EXPECT_EQ(isValidUtf8(c.bytes), c.valid) << testing::PrintToString(c.bytes);
}

TEST(Unicode, LowerCasesFullyAndTrimsSpaceSeparators) {
  EXPECT_EQ(toLower("Content-LENGTH"), "content-length");
  EXPECT_EQ(toLower("\xc3\x89\xc3\x80"), "\xc3\xa9\xc3\xa0");         // ÉÀ -> éà
  EXPECT_EQ(toLower("\xce\xa3\xce\x91"), "\xcf\x83\xce\xb1");         // ΣΑ -> σα
  EXPECT_EQ(toLower("\xd0\x96"), "\xd0\xb6");                         // Ж -> ж
  EXPECT_EQ(toLower("\xc4\xb0"), "i\xcc\x87");                        // İ -> i + U+0307
  EXPECT_EQ(toLower("\xe2\x84\xaa"), "k");                            // KELVIN SIGN -> k
  EXPECT_EQ(toLower("\xc4\x80\xc4\x82"), "\xc4\x81\xc4\x83");         // alternating run
  EXPECT_EQ(toLower("\xf0\x90\x90\x80"), "\xf0\x90\x90\xa8");         // Deseret, 4 bytes
  EXPECT_EQ(toLower("\xc3\x9f\xe2\x82\xac"), "\xc3\x9f\xe2\x82\xac"); // ß € unchanged
  // Trimming takes tabs and space separators (Zs), nothing else.
  EXPECT_EQ(trimSpaces("  a b  "), "a b");
  EXPECT_EQ(trimSpaces("\t\xc2\xa0v\xe2\x80\x8a\xe3\x80\x80"), "v"); // U+00A0, U+200A, U+3000
  EXPECT_EQ(trimSpaces("\xe2\x80\x8bv"), "\xe2\x80\x8bv");           // U+200B is not Zs
  EXPECT_EQ(trimSpaces("\nv\r"), "\nv\r");                           // line breaks stay
  EXPECT_EQ(trimSpaces("   "), "");
  EXPECT_EQ(trimSpaces("\xc3\xa9 "), "\xc3\xa9");
}

TEST(Uri, RecognisesReferencesAndDecodes) {
  for (const char* valid : {"/a", "/a?x=1", "", "a/b", "/a%20b", "http://h/p", "//h:80/p",
                            "//u:p@h/p", "//[::1]/", "//[v1.x]/", "//[1:2:3:4:5:6:7:8]/",
                            "//[::ffff:1.2.3.4]/", "a+b.c-d:x", "/a#f?/", "/a?b#c"})
    EXPECT_TRUE(isUriReference(valid)) << valid;
  for (const char* invalid : {"/a%2", "/a b", "/a|b", "//h:8x/p", "//[1:2:3:4:5:6:7]/",
                              "//[::1.2.3.256]/", "1a:b", "/a#f#g"})
    EXPECT_FALSE(isUriReference(invalid)) << invalid;
  EXPECT_EQ(percentDecode("a%20b+c"), "a b+c");
  EXPECT_EQ(percentDecode("%41%6a"), "Aj");
  EXPECT_EQ(percentDecode("%"), std::nullopt);
  EXPECT_EQ(percentDecode("%4"), std::nullopt);
  EXPECT_EQ(percentDecode("%g0"), std::nullopt);
}

} // namespace
} // namespace va::text
