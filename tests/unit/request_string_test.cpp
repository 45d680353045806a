#include "protocol/request_string.h"

#include <gtest/gtest.h>

namespace printxpc {
namespace {

TEST(RequestString, FindsFirstOccurrence) {
  const RequestString parsed("a:m:b:m:");
  EXPECT_EQ(parsed.leadingField(":m:"), "a");
}

}  // namespace
}  // namespace printxpc
