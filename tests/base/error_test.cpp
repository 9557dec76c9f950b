#include "base/error.h"

#include <gtest/gtest.h>

namespace pelorin {
namespace {

TEST(Error, DescriptionIsTheMessageOrNamesDomainAndCode) {
  EXPECT_EQ((Error{"Arguments", -1, "invalid arguments"}).description(), "invalid arguments");
  EXPECT_EQ((Error{"VideoToolbox", -12902, ""}).description(),
            "The operation couldn\u2019t be completed. (VideoToolbox error -12902.)");
}

TEST(Result, HoldsEitherValueOrError) {
  Result<int> good = 7;
  ASSERT_TRUE(good.ok());
  EXPECT_EQ(*good, 7);
  Result<int> bad = Error{"D", 3, "m"};
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().code, 3);
  Result<void> done;
  EXPECT_TRUE(done.ok());
  Result<void> failed = Error{"D", -1, "x"};
  EXPECT_FALSE(failed.ok());
  EXPECT_EQ(failed.error().message, "x");
}

}  // namespace
}  // namespace pelorin
