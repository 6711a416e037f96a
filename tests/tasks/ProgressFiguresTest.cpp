// The figures of a progress display: fraction, bytes, rate, time left, and their formats.
#include <gtest/gtest.h>

#include "tasks/ProgressFigures.h"

TEST(ProgressFigures, ComputesRateAndTimeLeft) {
  struct Case {
    uint64_t done, total;
    double seconds;
    double fraction, rate, left;
  };
  const Case cases[] = {
      {50 << 20, 200 << 20, 10.0, 0.25, 5.0 * 1048576, 30.0},  // 5 MiB/s, 150 MiB to go
      {0, 100, 5.0, 0.0, 0.0, -1},                               // nothing done: no forecast
      {10, 100, 0.5, 0.1, 20.0, -1},                             // too early for a forecast
      {100, 100, 4.0, 1.0, 25.0, 0},                             // done
      {150, 100, 4.0, 1.0, 25.0, 0},                             // more than the total counts as done
      {0, 0, 0.0, 1.0, 0.0, 0},                                  // an empty job is done
  };
  for (const Case& c : cases) {
    ProgressFigures f = ComputeProgressFigures(c.done, c.total, c.seconds);
    EXPECT_DOUBLE_EQ(f.dFraction, c.fraction) << c.done << "/" << c.total;
    EXPECT_DOUBLE_EQ(f.dBytesPerSecond, c.rate) << c.done << "/" << c.total;
    EXPECT_DOUBLE_EQ(f.dRemainingSeconds, c.left) << c.done << "/" << c.total;
    EXPECT_LE(f.nBytesDone, f.nBytesTotal);
  }
}

TEST(ProgressFigures, UnitsSaturateInsteadOfWrapping) {
  CProgressClock clock;
  ProgressFigures f = clock.Figures(UINT64_MAX / 2, UINT64_MAX / 2 + 1, 4096);
  EXPECT_EQ(f.nBytesTotal, UINT64_MAX);
  EXPECT_LE(f.nBytesDone, f.nBytesTotal);
  f = clock.Figures(7, 5, 512);  // a position past the announced end
  EXPECT_EQ(f.nBytesDone, 2560u);
  EXPECT_DOUBLE_EQ(f.dFraction, 1.0);
}

TEST(ProgressFigures, Formats) {
  const std::pair<uint64_t, const char*> sizes[] = {{0, "0 B"},
                                                    {1023, "1023 B"},
                                                    {1536, "1.5 KiB"},
                                                    {20ull << 20, "20.0 MiB"},
                                                    {3489660928ull, "3.25 GiB"},
                                                    {1649267441664ull, "1.50 TiB"},
                                                    {UINT64_MAX, "16.00 EiB"}};
  for (auto [bytes, text] : sizes) EXPECT_EQ(FormatByteCount(bytes), text) << bytes;
  EXPECT_EQ(FormatDuration(0), "00:00:00");
  EXPECT_EQ(FormatDuration(65.9), "00:01:05");
  EXPECT_EQ(FormatDuration(100000), "27:46:40");
  EXPECT_EQ(FormatDuration(-1), "--:--:--");
}
