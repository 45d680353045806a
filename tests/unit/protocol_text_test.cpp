#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

#include "protocol/text.h"

namespace printxpc::text {
namespace {

TEST(Utf8Validation, AcceptsAndRejects) {
  struct Case {
    std::string bytes;
    bool valid;
  };
  const Case cases[] = {
      {"", true},
      {"plain ascii", true},
      {"caf\xC3\xA9", true},
      {"\xE2\x82\xAC", true},           // euro sign
      {"\xF0\x9F\x96\xA8", true},       // printer emoji, four bytes
      {"\xF4\x8F\xBF\xBF", true},       // U+10FFFF
      {std::string("a\0b", 3), true},   // NUL is a valid code point
      {"\xC3", false},                  // truncated
      {"\xC0\xAF", false},              // overlong '/'
      {"\xE0\x80\xAF", false},          // overlong three-byte
      {"\xED\xA0\x80", false},          // surrogate U+D800
      {"\xF4\x90\x80\x80", false},      // above U+10FFFF
      {"\xF8\x88\x80\x80\x80", false},  // five-byte form
      {"\x80", false},                  // lone continuation
      {"ab\xFF", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(isValidUtf8(c.bytes), c.valid) << testing::PrintToString(c.bytes);
  }
}

// Valid UTF-8 that the bus cannot carry: the 66 noncharacters, and nothing next to them.
TEST(Noncharacters, AreFoundWhereverTheyStand) {
  const struct {
    std::string bytes;
    bool found;
  } cases[] = {
      {"TRUE:uResult.string=\xEF\xBF\xBE", true},  // U+FFFE at the end
      {"\xEF\xBF\xBFx", true},                     // U+FFFF
      {"a\xEF\xB7\x90", true},                     // U+FDD0
      {"\xEF\xB7\xAF", true},                      // U+FDEF
      {"\xF0\x9F\xBF\xBE", true},                  // U+1FFFE
      {"\xF4\x8F\xBF\xBF", true},                  // U+10FFFF
      {"\xEF\xB7\x8F\xEF\xB7\xB0", false},         // U+FDCF, U+FDF0
      {"\xEF\xBF\xBD caf\xC3\xA9", false},         // U+FFFD, the replacement character
      {"\xF0\x9F\x96\xA8", false},                 // printer emoji
      {"", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(hasNoncharacter(c.bytes), c.found) << testing::PrintToString(c.bytes);
  }
}

TEST(Utf16Length, CountsCodeUnits) {
  EXPECT_EQ(utf16Length(""), 0U);
  EXPECT_EQ(utf16Length("secret"), 6U);
  EXPECT_EQ(utf16Length("caf\xC3\xA9"), 4U);       // é is one unit in two bytes
  EXPECT_EQ(utf16Length("\xE2\x82\xAC"), 1U);      // € is one unit in three bytes
  EXPECT_EQ(utf16Length("\xF0\x9F\x96\xA8"), 2U);  // a surrogate pair
}

TEST(IntegerFields, FollowTheRequestFieldRule) {
  struct Case {
    std::string text;
    std::int32_t value;
  };
  const Case cases[] = {
      {"750", 750},
      {" 750", 750},
      {"\t\n750", 750},
      {"750ms", 750},
      {"+12", 12},
      {"-5", -5},
      {"0", 0},
      {"", 0},
      {"abc", 0},
      {"-", 0},
      {"- 5", 0},
      {"2147483640", 2147483640},
      {"2147483647", 2147483647},
      {"2147483648", 2147483647},
      {"99999999999999999999", 2147483647},
      {"-2147483647", -2147483647},
      {"-2147483648", std::numeric_limits<std::int32_t>::min()},
      {"-2147483649", std::numeric_limits<std::int32_t>::min()},
      {"-99999999999999999999", std::numeric_limits<std::int32_t>::min()},
      {"00042", 42},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(toInt32(c.text), c.value) << '"' << c.text << '"';
  }
}

TEST(IntegerFields, SixtyFourBitVariantSaturates) {
  EXPECT_EQ(toInt64("1500"), 1500);
  EXPECT_EQ(toInt64("4294967296"), 4294967296LL);
  EXPECT_EQ(toInt64("9223372036854775808"), std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(toInt64("-9223372036854775809"), std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(toInt64("letters"), 0);
}

TEST(NullLiteral, IsExactAndCaseSensitive) {
  EXPECT_TRUE(isNull("NULL"));
  EXPECT_FALSE(isNull("null"));
  EXPECT_FALSE(isNull(" NULL"));
  EXPECT_FALSE(isNull("NULL "));
  EXPECT_FALSE(isNull(""));
}

}  // namespace
}  // namespace printxpc::text
