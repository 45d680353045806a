// The result area of a GET and the reply text it makes.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "snmp/snmp_result.h"

namespace printxpc {
namespace {

TEST(SnmpGetUResult, HoldsAnIntegerOrATerminatedText) {
  UResult uResult;
  EXPECT_EQ(uResult.integer(), 0);
  EXPECT_EQ(uResult.string(), "");
  for (const std::int32_t value : {0, 1, -3, 65536, std::numeric_limits<std::int32_t>::min(),
                                   std::numeric_limits<std::int32_t>::max()}) {
    uResult.setInteger(value);
    EXPECT_EQ(uResult.integer(), value);
  }

  struct Case {
    std::string text;
    std::string kept;
  };
  const Case cases[] = {
      {"", ""},
      {"Office Printer 7", "Office Printer 7"},
      {std::string(254, 'x'), std::string(254, 'x')},
      {std::string(255, 'x'), std::string(255, 'x')},
      {std::string(256, 'x'), std::string(255, 'x')},
      {std::string(1000, 'x'), std::string(255, 'x')},
      {std::string("ab\0cd", 5), "ab"},  // the text ends at its terminator
  };
  for (const auto& c : cases) {
    // A longer text before leaves nothing behind the terminator.
    uResult.setString(std::string(300, 'o'));
    uResult.setString(c.text);
    EXPECT_EQ(uResult.string(), c.kept) << c.text.size() << " bytes";
  }
  uResult.clear();
  EXPECT_EQ(uResult.string(), "");
  EXPECT_EQ(uResult.integer(), 0);
}

TEST(SnmpGetReply, FollowsTheReplyTable) {
  UResult integer;
  integer.setInteger(-3);
  UResult text;
  text.setString("Office Printer 7");
  UResult oid;
  oid.setString("1.3.6.1.4.1.9");
  const UResult empty;
  UResult longest;
  longest.setString(std::string(300, 'y'));

  struct Case {
    SnmpGetOutcome outcome;
    const UResult& uResult;
    std::string reply;
  };
  const Case cases[] = {
      {{kSnmpDone, 2}, integer, "TRUE:uResult.integer=-3"},
      {{kSnmpDone, 2}, empty, "TRUE:uResult.integer=0"},
      {{kSnmpDone, 4}, text, "TRUE:uResult.string=Office Printer 7"},
      {{kSnmpDone, 4}, empty, "TRUE:uResult.string="},
      {{kSnmpDone, 4}, longest, "TRUE:uResult.string=" + std::string(255, 'y')},
      {{kSnmpDone, 6}, oid, "TRUE:uResult.string=1.3.6.1.4.1.9"},
      {{kSnmpDone, 6}, empty, "TRUE:uResult.string="},
      // Done with any other type code.
      {{kSnmpDone, 5}, text, "FALSE"},
      {{kSnmpDone, 0}, text, "FALSE"},
      {{kSnmpDone, 0x40}, integer, "FALSE"},
      // Any other status wins over the type code and the result area.
      {{kSnmpCancelled, 4}, text, "FALSE:rtn_ExitValue=-1"},
      {{kSnmpNoExchange, 2}, integer, "FALSE:rtn_ExitValue=-9780"},
      {{kSnmpUnexpectedNull, 5}, empty, "FALSE:rtn_ExitValue=-30896"},
      {{kSnmpUnexpectedType, 0x41}, empty, "FALSE:rtn_ExitValue=-50"},
      {{7, 2}, integer, "FALSE:rtn_ExitValue=7"},
      {{std::numeric_limits<std::int32_t>::min(), 4}, text, "FALSE:rtn_ExitValue=-2147483648"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(snmpGetReply(c.outcome, c.uResult), c.reply)
        << "status " << c.outcome.status << ", type " << int{c.outcome.type};
  }
}

}  // namespace
}  // namespace printxpc
