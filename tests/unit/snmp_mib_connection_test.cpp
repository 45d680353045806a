#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "snmp/mib_connection.h"
#include "snmp_test_bytes.h"

namespace printxpc {
namespace {

using test_support::ByteVector;
using test_support::hexBytes;
using test_support::toVector;

const ByteVector kWorkedExample = hexBytes(
    "30 27 02 01 00 04 06 70 75 62 6C 69 63 A0 1A 02 02 34 12 02 01 00 02 01 00"
    "30 0E 30 0C 06 08 2B 06 01 02 01 01 02 00 05 00");

TEST(MibConnection, BuildsTheWorkedExample) {
  MIBConnection connection;
  EXPECT_EQ(connection.reqType(), 0);
  EXPECT_FALSE(connection.requestIdentifier());
  EXPECT_TRUE(
      connection.requestGenericWithSingleResponse("public", nullptr, "1.3.6.1.2.1.1.2.0", 0x1234));
  EXPECT_EQ(toVector(connection.msg().data()), kWorkedExample);
  EXPECT_EQ(connection.reqType(), 4);
  EXPECT_EQ(connection.requestIdentifier(), 0x1234);
  EXPECT_TRUE(connection.getRawDataCopy().empty());
}

TEST(MibConnection, RequestIdGoesOutLowByteFirst) {
  struct Case {
    std::uint16_t id;
    const char* bytes;
  };
  for (const Case& c :
       {Case{0xABCD, "02 02 CD AB"}, Case{0x0000, "02 02 00 00"}, Case{0x00FF, "02 02 FF 00"}}) {
    MIBConnection connection;
    ASSERT_TRUE(
        connection.requestGenericWithSingleResponse("public", nullptr, "1.3.6.1.2.1.1.2.0", c.id));
    const ByteVector expected = hexBytes(c.bytes);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), connection.msg().data().begin() + 15))
        << c.id;
  }
}

TEST(MibConnection, RefusesAMissingOrEmptyCommunityAndIsUsedUp) {
  for (const std::optional<std::string_view> community :
       {std::optional<std::string_view>{}, std::optional<std::string_view>{""}}) {
    MIBConnection connection;
    EXPECT_FALSE(
        connection.requestGenericWithSingleResponse(community, nullptr, "1.3.6.1.2.1.1.2.0", 7));
    EXPECT_TRUE(connection.msg().data().empty());
    EXPECT_EQ(connection.requestIdentifier(), 7);
    EXPECT_FALSE(
        connection.requestGenericWithSingleResponse("public", nullptr, "1.3.6.1.2.1.1.2.0", 8));
    EXPECT_TRUE(connection.msg().data().empty());
    EXPECT_EQ(connection.requestIdentifier(), 7);
  }
}

TEST(MibConnection, BlankCommunityIsAccepted) {
  MIBConnection connection;
  EXPECT_TRUE(connection.requestGenericWithSingleResponse(" ", nullptr, "1.3.6.1.2.1.1.2.0", 1));
  EXPECT_EQ(connection.msg().data()[7], ' ');
}

TEST(MibConnection, SecondCallChangesNothing) {
  MIBConnection connection;
  ASSERT_TRUE(
      connection.requestGenericWithSingleResponse("public", nullptr, "1.3.6.1.2.1.1.2.0", 0x1234));
  EXPECT_FALSE(connection.requestGenericWithSingleResponse("other", nullptr, "1.3.6.1", 0x9999));
  EXPECT_EQ(toVector(connection.msg().data()), kWorkedExample);
  EXPECT_EQ(connection.requestIdentifier(), 0x1234);
}

TEST(MibConnection, UserDataHasNoEffect) {
  int userData = 42;
  MIBConnection connection;
  ASSERT_TRUE(connection.requestGenericWithSingleResponse("public", &userData, "1.3.6.1.2.1.1.2.0",
                                                          0x1234));
  EXPECT_EQ(toVector(connection.msg().data()), kWorkedExample);
}

// OID texts outside the limits make no message at all.
TEST(MibConnection, RefusesOidsOutsideTheLimits) {
  const std::vector<std::optional<std::string>> oids = {
      std::nullopt,
      "",
      "1",
      "3.6.1",
      "1.40",
      "1.3.2147483648",
      ".1.3.6.1.2.1.1.2.0",
      "1.3.6.x",
      "1.3." + std::string(252, '.'),
  };
  for (const auto& oid : oids) {
    MIBConnection connection;
    const std::optional<std::string_view> view =
        oid ? std::optional<std::string_view>(*oid) : std::nullopt;
    EXPECT_FALSE(connection.requestGenericWithSingleResponse("public", nullptr, view, 1))
        << oid.value_or("(none)");
    EXPECT_TRUE(connection.msg().data().empty());
    EXPECT_EQ(connection.reqType(), 4);
  }
}

TEST(MibConnection, MultiDigitSecondArcIsRequestedAsAsked) {
  MIBConnection connection;
  ASSERT_TRUE(connection.requestGenericWithSingleResponse("public", nullptr, "1.30.6", 1));
  const std::span<const std::uint8_t> data = connection.msg().data();
  EXPECT_EQ(toVector(data.subspan(data.size() - 6)), hexBytes("06 02 46 06 05 00"));
}

}  // namespace
}  // namespace printxpc
