// The MAC-address form of a value text.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "snmp/value_text.h"

namespace printxpc {
namespace {

TEST(SnmpGetMacAddress, PicksTwelveBytesByLength) {
  struct Case {
    std::string text;
    std::string mac;
  };
  const Case cases[] = {
      // 17 bytes: the two characters of each of six groups, whatever separates them.
      {"00-1A-2B-3C-4D-5E", "00:1A:2B:3C:4D:5E"},
      {"0123456789ABCDEFG", "01:34:67:9A:CD:FG"},
      // 16 bytes: the last twelve.
      {"    a0b1c2d3e4f5", "a0:b1:c2:d3:e4:f5"},
      {"0123456789abcdef", "45:67:89:ab:cd:ef"},
      {"00:1A:2B:3C:4D:5", "A::2B::3:C::4D::5"},  // whatever the sixteen bytes hold
      // 12 bytes: all of them.
      {"001A2B3C4D5E", "00:1A:2B:3C:4D:5E"},
      // Copied unchanged: no change of case, no check for hex digits.
      {"aBcDeF012345", "aB:cD:eF:01:23:45"},
      {"zz-yy-xx-ww-vv-uu", "zz:yy:xx:ww:vv:uu"},
      // The length counts bytes: six two-byte characters are twelve bytes.
      {"\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9",
       "\xC3\xA9:\xC3\xA9:\xC3\xA9:\xC3\xA9:\xC3\xA9:\xC3\xA9"},
      {std::string("00\0"
                   "1A2B3C4D5",
                   12),
       std::string("00:\0"
                   "1:A2:B3:C4:D5",
                   17)},
      // Any other length: nothing.
      {"", ""},
      {"001A2B3C4D5", ""},
      {"001A2B3C4D5E6", ""},
      {"00-1A-2B-3C-4D-5E-", ""},
      {std::string(255, 'a'), ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(formatMacAddress(c.text), c.mac) << ::testing::PrintToString(c.text);
  }
}

}  // namespace
}  // namespace printxpc
