#include "base/error.h"

#include <gtest/gtest.h>

namespace pelorin {
namespace {

TEST(Error, DescriptionIsTheMessageOrNamesDomainAndCode) {
  EXPECT_EQ((Error{"Arguments", -1, "invalid arguments"}).description(), "invalid arguments");
  EXPECT_EQ((Error{"VideoToolbox", -12902, ""}).description(),
            "The operation couldn\u2019t be completed. (VideoToolbox error -12902.)");
}

}  // namespace
}  // namespace pelorin
