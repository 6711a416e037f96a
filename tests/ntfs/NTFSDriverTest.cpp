#include "ntfs/NTFSDriver.h"

#include <array>
#include <cstring>

#include <gtest/gtest.h>

namespace {
std::array<uint8_t, 512> NtfsBoot(uint32_t bps, uint32_t spc, uint32_t recordField) {
  std::array<uint8_t, 512> b{};
  std::memcpy(&b[3], "NTFS    ", 8);
  b[0x0B] = uint8_t(bps);
  b[0x0C] = uint8_t(bps >> 8);
  b[0x0D] = uint8_t(spc);
  uint64_t total = 1ULL << 33;  // a volume of 2^33 sectors
  for (int i = 0; i < 8; ++i) b[0x28 + i] = uint8_t(total >> (8 * i));
  b[0x30] = 4;
  for (int i = 0; i < 4; ++i) b[0x40 + i] = uint8_t(recordField >> (8 * i));
  b[0x1FE] = 0x55;
  b[0x1FF] = 0xAA;
  return b;
}
}  // namespace

TEST(NTFSDriver, BootSectorRecognitionAndRecordSize) {
  struct Case {
    const char* what;
    std::array<uint8_t, 512> boot;
    NtfsBootCheck expected;
    uint32_t recordSize;
  } cases[] = {
      {"0xF6 gives 1024", NtfsBoot(512, 8, 0xF6), NtfsBootCheck::Ok, 1024},
      {"2 clusters of 512", NtfsBoot(512, 1, 2), NtfsBootCheck::Ok, 1024},
      {"1024-byte sectors", NtfsBoot(1024, 4, 0xF6), NtfsBootCheck::Ok, 1024},
      {"4096-byte sectors", NtfsBoot(4096, 1, 0xF6), NtfsBootCheck::BadSectorSize, 0},
      {"3 sectors per cluster", NtfsBoot(512, 3, 0xF6), NtfsBootCheck::BadClusterSize, 0},
      {"0 sectors per cluster", NtfsBoot(512, 0, 0xF6), NtfsBootCheck::BadClusterSize, 0},
      {"0xF4: 4096 sectors per cluster", NtfsBoot(512, 0xF4, 0xF6), NtfsBootCheck::Ok, 1024},
      {"0xE0 is neither form", NtfsBoot(512, 0xE0, 0xF6), NtfsBootCheck::BadClusterSize, 0},
      {"record size 0", NtfsBoot(512, 8, 0), NtfsBootCheck::BadRecordSize, 0},
      {"record size 2^127", NtfsBoot(512, 8, 0x81), NtfsBootCheck::BadRecordSize, 0},
  };
  for (auto& c : cases) {
    NtfsGeometry g;
    EXPECT_EQ(ParseNtfsBootSector(c.boot.data(), g), c.expected) << c.what;
    if (c.expected == NtfsBootCheck::Ok) EXPECT_EQ(g.nRecordSize, c.recordSize) << c.what;
  }
  auto b = NtfsBoot(512, 8, 0xF6);
  b[10] = 'X';
  NtfsGeometry g;
  EXPECT_EQ(ParseNtfsBootSector(b.data(), g), NtfsBootCheck::NotNtfs);
  b = NtfsBoot(512, 8, 0xF6);
  b[0x1FE] = 0;
  EXPECT_EQ(ParseNtfsBootSector(b.data(), g), NtfsBootCheck::NoSignature);
}

TEST(NTFSDriver, SizesAVolumeBeyondTwoToThe32Sectors) {
  auto b = NtfsBoot(512, 8, 0xF6);
  NtfsGeometry g;
  ASSERT_EQ(ParseNtfsBootSector(b.data(), g), NtfsBootCheck::Ok);
  EXPECT_EQ(g.nTotalSectors, 1ULL << 33);
  CNTFSDriver v;
  v.m_nSectorsPerCluster = g.nSectorsPerCluster;
  v.m_nBytesPerCluster = 4096;
  v.m_nClusterCount = g.nTotalSectors / g.nSectorsPerCluster;
  EXPECT_EQ(v.GetSizeText(), u"4096.0 GB");
  EXPECT_EQ(v.ClusterToSector(1ULL << 31), (1ULL << 31) * 8);  // no 32-bit truncation
  // A boot sector alone, without an MFT behind it, does not open.
  v.m_hDevice = CRawDevice::FromMemory(std::vector<uint8_t>(b.begin(), b.end()));
  ASSERT_TRUE(v.Attach(v.m_hDevice, b.data(), 0));
  EXPECT_FALSE(v.Open(0, DRIVE_FIXED, u"big", true));
}
