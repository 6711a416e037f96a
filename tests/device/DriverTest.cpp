#include "device/Driver.h"

#include <gtest/gtest.h>

#include "device/PhysicalDriver.h"
#include "tasks/Progress.h"

namespace {

// Records every message of the progress protocol.
class CRecordingWindow : public IProgressWindow {
 public:
  bool IsWindow() const override { return m_bAlive; }
  int64_t Send(uint32_t message, uint64_t wParam, int64_t lParam) override {
    m_messages.push_back({message, wParam, lParam});
    return 0;
  }
  struct Msg {
    uint32_t message;
    uint64_t wParam;
    int64_t lParam;
  };
  std::vector<Msg> m_messages;
  bool m_bAlive = true;
};

// A device whose scan step records the units it is given and consumes a run of units
// after every tenth one.
class CCountingDriver : public CDriver {
 public:
  bool ScanUnit(uint64_t unit, CUnitBitmap* visited, IProgressWindow*) override {
    m_units.push_back(unit);
    if (unit % 10 == 0)
      for (uint64_t k = 1; k <= 3; ++k) visited->Set(unit + k);
    return unit % 2 == 0;
  }
  std::vector<uint64_t> m_units;
};

}  // namespace

TEST(Driver, SizeTexts) {
  struct Case {
    uint64_t clusters;
    uint32_t clusterBytes;
    const char16_t* text;
  } cases[] = {
      {262144, 4096, u"1024 MB"},        // exactly 1 GiB
      {262145, 4096, u"1.0 GB"},         // one cluster more
      {2047, 512, u"0 MB"},              // 1,048,064 bytes
      {1ULL << 33, 512, u"4096.0 GB"},   // a disk of 2^33 sectors: all of it counts
      {3, 1024 * 1024 * 1024, u"3.0 GB"},
  };
  for (const auto& c : cases) {
    CDriver d;
    d.m_nClusterCount = c.clusters;
    d.m_nBytesPerCluster = c.clusterBytes;
    EXPECT_EQ(d.GetSizeText(), c.text) << c.clusters;
  }
}

TEST(Driver, FileSystemTexts) {
  const char16_t* texts[] = {u"FAT12", u"FAT16", u"FAT32", u"NTFS", u"VIRTUAL FS", u"exFAT", u"UNKNOWN FS"};
  for (int fs = 0; fs <= 6; ++fs) {
    CDriver d;
    d.m_nFileSystem = fs;
    EXPECT_EQ(d.GetFileSystemText(), texts[fs]);
  }
  CDriver d;
  d.m_nFileSystem = -1;
  EXPECT_EQ(d.GetFileSystemText(), u"UNKNOWN FS");
}

TEST(Driver, ScanUnitsProgressProtocolAndConsumedUnits) {
  CCountingDriver d;
  d.m_nFirstUnit = 0;
  d.m_nLastUnit = 31;
  CRecordingWindow w;
  uint64_t found = 99;
  ASSERT_TRUE(d.ScanUnits(&w, found));
  // Units consumed by an earlier step are not offered again.
  std::vector<uint64_t> expectUnits;
  for (uint64_t i = 0; i <= 31; ++i)
    if (!(i % 10 >= 1 && i % 10 <= 3)) expectUnits.push_back(i);
  EXPECT_EQ(d.m_units, expectUnits);
  uint64_t evens = 0;
  for (auto u : expectUnits) evens += u % 2 == 0;
  EXPECT_EQ(found, evens);
  std::vector<std::pair<uint64_t, int64_t>> seen;
  for (const auto& m : w.m_messages) {
    ASSERT_EQ(m.message, WM_SCANPROGRESS);
    seen.push_back({m.wParam, m.lParam});
  }
  EXPECT_EQ(seen, (std::vector<std::pair<uint64_t, int64_t>>{{0, 0}, {1, 0}, {2, 0}, {2, 30}, {2, 31}}));
}

TEST(Driver, ScanUnitsBeyondTwoToThe32AndWithoutAWindow) {
  CCountingDriver d;
  d.m_nFirstUnit = (1ULL << 32) + 104;
  d.m_nLastUnit = (1ULL << 32) + 109;
  CRecordingWindow w;
  w.m_bAlive = false;  // a window that is gone receives nothing
  uint64_t found = 0;
  ASSERT_TRUE(d.ScanUnits(&w, found));
  EXPECT_EQ(d.m_units.front(), (1ULL << 32) + 104);
  EXPECT_EQ(d.m_units.size(), 3u);  // 104, then 108 and 109 (105 to 107 consumed)
  EXPECT_TRUE(w.m_messages.empty());
  CCountingDriver empty;
  empty.m_nFirstUnit = 5;
  empty.m_nLastUnit = 4;
  EXPECT_TRUE(empty.ScanUnits(nullptr, found));
  EXPECT_EQ(found, 0u);
  EXPECT_TRUE(empty.m_units.empty());
}

TEST(Driver, BitHelpers) {
  uint8_t bits[2] = {};
  SetBit(bits, 9);
  EXPECT_EQ(bits[1], 0x02);
  EXPECT_TRUE(TestBit(bits, 9));
  EXPECT_FALSE(TestBit(bits, 8));
  SetBit(nullptr, 3);
  EXPECT_FALSE(TestBit(nullptr, 3));
  CUnitBitmap m;
  ASSERT_TRUE(m.Allocate(1000, 1010));
  m.Set(1003);
  m.Set(5000);  // outside: ignored
  EXPECT_TRUE(m.Test(1003));
  EXPECT_FALSE(m.Test(1004));
  EXPECT_TRUE(m.Test(999));  // outside the range reads as visited
}

TEST(Driver, SharedHandleShiftsReadsByTheSectorOffset) {
  std::vector<uint8_t> disk(64 * 512);
  for (size_t s = 0; s < 64; ++s) disk[s * 512] = uint8_t(s);
  auto handle = CRawDevice::FromMemory(disk);
  CLogicalDriver lost;
  lost.m_hDevice = handle;
  ASSERT_TRUE(lost.Open(0, DRIVE_FIXED, u"LostDriver_40", true));
  lost.m_nSectorOffset = 40;
  uint8_t buf[512];
  ASSERT_TRUE(lost.ReadSectors(0, buf, 512, 1));
  EXPECT_EQ(buf[0], 40);
  ASSERT_TRUE(lost.ReadSectors(3, buf, 512, 1));
  EXPECT_EQ(buf[0], 43);
  EXPECT_FALSE(lost.ReadSectors(30, buf, 512, 1));  // past the disk's end
  EXPECT_FALSE(lost.ReadSectors(0, nullptr, 512, 1));
  EXPECT_FALSE(lost.ReadSectors(UINT64_MAX - 5, buf, 512, 1));
  // Destroying the lost volume leaves the disk's handle usable.
  { CLogicalDriver other; other.m_hDevice = handle; }
  EXPECT_TRUE(handle->Read(0, buf, 512));
}
