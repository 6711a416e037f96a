#include "ntfs/RunList.h"

#include <gtest/gtest.h>

TEST(RunList, DecodesRunsAndRefusesHostileLists) {
  struct Case {
    const char* what;
    std::vector<uint8_t> bytes;
    uint64_t clusterCount;
    RunListResult result;
    std::vector<NtfsRun> runs;
  } cases[] = {
      {"one run of 2 clusters at 0x1000", {0x21, 0x02, 0x00, 0x10, 0x00}, 0, RunListResult::Ok, {{0, 0x1000, 2, false}}},
      {"data, sparse, data with a negative offset",
       {0x11, 0x04, 0x40, 0x01, 0x03, 0x11, 0x02, 0xF0, 0x00},
       0,
       RunListResult::Ok,
       {{0, 0x40, 4, false}, {4, 0, 3, true}, {7, 0x30, 2, false}}},
      {"empty list", {0x00}, 0, RunListResult::Ok, {}},
      {"no end byte", {0x11, 0x01, 0x05}, 0, RunListResult::Corrupt, {}},
      {"entry past the buffer", {0x31, 0x01, 0x05}, 0, RunListResult::Corrupt, {}},
      {"length nibble 0", {0x10, 0x05, 0x00}, 0, RunListResult::Corrupt, {}},
      {"offset nibble 9", {0x91, 0x01, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0x00}, 0, RunListResult::Corrupt, {}},
      {"zero length", {0x11, 0x00, 0x05, 0x00}, 0, RunListResult::Corrupt, {}},
      {"before cluster 0", {0x11, 0x01, 0xFF, 0x00}, 0, RunListResult::Corrupt, {}},
      {"past the volume", {0x21, 0x10, 0xF8, 0x00, 0x00}, 0x100, RunListResult::Corrupt, {}},
      {"inside the volume", {0x21, 0x08, 0xF8, 0x00, 0x00}, 0x100, RunListResult::Ok, {{0, 0xF8, 8, false}}},
  };
  for (const auto& c : cases) {
    std::vector<NtfsRun> runs;
    EXPECT_EQ(DecodeRunList(c.bytes.data(), c.bytes.size(), 0, c.clusterCount, runs), c.result) << c.what;
    if (c.result != RunListResult::Ok) continue;
    ASSERT_EQ(runs.size(), c.runs.size()) << c.what;
    for (size_t i = 0; i < runs.size(); ++i) {
      EXPECT_EQ(runs[i].nVcn, c.runs[i].nVcn) << c.what;
      EXPECT_EQ(runs[i].nLength, c.runs[i].nLength) << c.what;
      EXPECT_EQ(runs[i].bSparse, c.runs[i].bSparse) << c.what;
      if (!runs[i].bSparse) EXPECT_EQ(runs[i].nLcn, c.runs[i].nLcn) << c.what;
    }
  }
}

TEST(RunList, MapsVcnsAcrossRuns) {
  std::vector<uint8_t> bytes = {0x11, 0x04, 0x40, 0x01, 0x03, 0x11, 0x02, 0xF0, 0x00};
  std::vector<NtfsRun> runs;
  ASSERT_EQ(DecodeRunList(bytes.data(), bytes.size(), 10, 0, runs), RunListResult::Ok);
  uint64_t lcn, rest;
  bool sparse;
  ASSERT_TRUE(MapVcnInRuns(runs, 11, lcn, rest, sparse));
  EXPECT_EQ(lcn, 0x41u);
  EXPECT_EQ(rest, 3u);
  ASSERT_TRUE(MapVcnInRuns(runs, 15, lcn, rest, sparse));
  EXPECT_TRUE(sparse);
  EXPECT_EQ(rest, 2u);
  ASSERT_TRUE(MapVcnInRuns(runs, 18, lcn, rest, sparse));
  EXPECT_EQ(lcn, 0x31u);
  EXPECT_FALSE(MapVcnInRuns(runs, 19, lcn, rest, sparse));
  EXPECT_FALSE(MapVcnInRuns(runs, 9, lcn, rest, sparse));
}
