#include "probe/probe_stats.h"

#include <gtest/gtest.h>

namespace pelorin::probe {
namespace {

TEST(ProbeStats, SummarisesRecordsPicturesAndTiming) {
  ProbeStats stats, one;
  EXPECT_EQ(stats.addRecord(true, 900, 1'000'000'000), 0u);
  EXPECT_EQ(stats.addRecord(false, 100, 1'033'000'000), 1u);
  EXPECT_EQ(stats.addRecord(false, 120, 1'100'000'000), 2u);
  stats.addPicture(0, 48);
  stats.addPicture(2, 96);
  stats.addDecodeError();
  stats.setBytes(1192);
  // Three records over 0.1 s: 20 fps; the widest gap is the later 67 ms one.
  EXPECT_EQ(stats.summaryLine(),
            "records=3 key_frames=1 decoded_frames=2 decode_errors=1 bytes=1192 first_capture_ns=1000000000 "
            "last_capture_ns=1100000000 capture_fps=20.00 max_gap_ms=67.000 mean_luma=72.00");
  ASSERT_EQ(stats.frames().size(), 3u);
  EXPECT_EQ(ProbeStats::frameLine(stats.frames()[0]), "frame index=0 key=1 size=900 capture_ns=1000000000 mean_luma=48.00");
  EXPECT_EQ(ProbeStats::frameLine(stats.frames()[1]), "frame index=1 key=0 size=100 capture_ns=1033000000 mean_luma=none");
  one.addRecord(true, 10, 5);  // a single record has no rate
  EXPECT_NE(one.summaryLine().find("capture_fps=0.00 max_gap_ms=0.000"), std::string::npos);
}

}  // namespace
}  // namespace pelorin::probe
