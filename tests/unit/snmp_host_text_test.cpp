// The printer address text as the GET trims it.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "snmp/host_text.h"

namespace printxpc {
namespace {

TEST(SnmpGetHostText, TrimsWhiteSpaceThenLineBreaks) {
  struct Case {
    std::string host;
    std::string trimmed;
  };
  const Case cases[] = {
      {"192.0.2.10", "192.0.2.10"},
      {"", ""},
      {" \t ", ""},
      {"\r\n", ""},
      {" 192.0.2.10\r\n", "192.0.2.10"},
      {"\t192.0.2.10\t", "192.0.2.10"},
      // Each trim is made once, white space first: a blank inside a line break stays.
      {"192.0.2.10 \n", "192.0.2.10 "},
      {"\n 192.0.2.10", " 192.0.2.10"},
      {"\v 192.0.2.10 \f", " 192.0.2.10 "},
      {" \n192.0.2.10\n ", "192.0.2.10"},
      // Unicode space separators.
      {"\xC2\xA0"
       "192.0.2.10"
       "\xC2\xA0",
       "192.0.2.10"},  // U+00A0
      {"\xE3\x80\x80"
       "192.0.2.10"
       "\xE3\x80\x80",
       "192.0.2.10"},  // U+3000
      {"\xE2\x80\x83"
       "192.0.2.10"
       "\xE2\x80\xAF",
       "192.0.2.10"},  // U+2003, U+202F
      {"\xE1\x9A\x80"
       "192.0.2.10"
       "\xE2\x81\x9F",
       "192.0.2.10"},  // U+1680, U+205F
      // Unicode line breaks.
      {"\xE2\x80\xA8"
       "192.0.2.10"
       "\xE2\x80\xA9",
       "192.0.2.10"},  // U+2028, U+2029
      {"\xC2\x85"
       "192.0.2.10"
       "\xC2\x85",
       "192.0.2.10"},  // NEL
      {"\x0B\x0C"
       "192.0.2.10"
       "\x0D\x0A",
       "192.0.2.10"},
      // Neither white space nor a line break: kept.
      {"\xE2\x80\x8B"
       "192.0.2.10",
       "\xE2\x80\x8B"
       "192.0.2.10"},  // zero-width space
      {"\xEF\xBB\xBF"
       "192.0.2.10",
       "\xEF\xBB\xBF"
       "192.0.2.10"},  // byte order mark
      {"192.0.2.10"
       "\x1F",
       "192.0.2.10"
       "\x1F"},
      {std::string("192.0.2.10\0", 11), std::string("192.0.2.10\0", 11)},
      {" 192.0.2.10 x ", "192.0.2.10 x"},
      // Bytes that are no UTF-8 character are kept, even where they look like the
      // Latin-1 or truncated form of a space or line break.
      {"192.0.2.10"
       "\xA0",
       "192.0.2.10"
       "\xA0"},
      {"\x85"
       "192.0.2.10",
       "\x85"
       "192.0.2.10"},
      {"192.0.2.10"
       "\xC2\x80\x80",
       "192.0.2.10"
       "\xC2\x80\x80"},
      {"192.0.2.10"
       "\xE3\x80",
       "192.0.2.10"
       "\xE3\x80"},
      {"\xE3"
       " 192.0.2.10",
       "\xE3"
       " 192.0.2.10"},
      {"\xC0\xA0"
       "192.0.2.10",
       "\xC0\xA0"
       "192.0.2.10"},  // overlong blank
  };
  for (const auto& c : cases) {
    EXPECT_EQ(trimHostText(c.host), c.trimmed) << ::testing::PrintToString(c.host);
  }
}

}  // namespace
}  // namespace printxpc
