#include "encoder/program_path.h"

#include <gtest/gtest.h>

namespace pelorin::encoder {
namespace {

TEST(StandardizedProgramPath, ResolvesRelativeWordsAndRemovesDots) {
  EXPECT_EQ(standardizedProgramPath("pelorin-encoder", "/home/u"), "/home/u/pelorin-encoder");
  EXPECT_EQ(standardizedProgramPath("./bin/pelorin-encoder", "/opt/p"), "/opt/p/bin/pelorin-encoder");
  EXPECT_EQ(standardizedProgramPath("../x/./y/../pelorin-encoder", "/a/b"), "/a/x/pelorin-encoder");
  EXPECT_EQ(standardizedProgramPath("/usr/./bin//pelorin-encoder", "/ignored"), "/usr/bin/pelorin-encoder");
  EXPECT_EQ(standardizedProgramPath("/../../pelorin-encoder", "/"), "/pelorin-encoder");
}

}  // namespace
}  // namespace pelorin::encoder
