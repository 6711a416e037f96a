#include "ntfs/NTFSDriver.h"

#include <array>
#include <cstring>
#include <vector>

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
    EXPECT_EQ(ParseNtfsBootSector(c.boot, g), c.expected) << c.what;
    if (c.expected == NtfsBootCheck::Ok) EXPECT_EQ(g.nRecordSize, c.recordSize) << c.what;
  }
  auto b = NtfsBoot(512, 8, 0xF6);
  b[10] = 'X';
  NtfsGeometry g;
  EXPECT_EQ(ParseNtfsBootSector(b, g), NtfsBootCheck::NotNtfs);
  b = NtfsBoot(512, 8, 0xF6);
  b[0x1FE] = 0;
  EXPECT_EQ(ParseNtfsBootSector(b, g), NtfsBootCheck::NoSignature);
}

TEST(NTFSDriver, SizesAVolumeBeyondTwoToThe32Sectors) {
  auto b = NtfsBoot(512, 8, 0xF6);
  NtfsGeometry g;
  ASSERT_EQ(ParseNtfsBootSector(b, g), NtfsBootCheck::Ok);
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

// A boot sector that claims 4 TiB and an MFT record 0 whose one run claims 4 GiB, on a
// device of 64 KiB: the MFT is no longer than the device, and the read that runs past
// the device's end loses only what lies past it (record 0 is found at its place).
TEST(NTFSDriver, TheMftIsBoundedByTheDevice) {
  constexpr size_t kDevice = 64 << 10, kMft = 4 * 4096, kRecord = 1024;
  auto b = NtfsBoot(512, 8, 0xF6);  // 4 KiB clusters, MFT at cluster 4
  std::vector<uint8_t> disk(kDevice, 0);
  std::copy(b.begin(), b.end(), disk.begin());
  uint8_t* r = disk.data() + kMft;
  auto put16 = [](uint8_t* p, uint16_t v) { p[0] = uint8_t(v), p[1] = uint8_t(v >> 8); };
  auto put32 = [&](uint8_t* p, uint32_t v) { put16(p, uint16_t(v)), put16(p + 2, uint16_t(v >> 16)); };
  auto put64 = [&](uint8_t* p, uint64_t v) { put32(p, uint32_t(v)), put32(p + 4, uint32_t(v >> 32)); };
  std::memcpy(r, "FILE", 4);
  put16(r + 0x04, 0x30);  // update sequence array at 0x30: the number and two saved words
  put16(r + 0x06, 3);
  put16(r + 0x14, 0x38);  // first attribute
  put16(r + 0x16, 0x01);  // in use
  put16(r + 0x30, 1);
  put16(r + 510, 1);
  put16(r + 1022, 1);
  uint8_t* a = r + 0x38;  // $DATA, non-resident, VCN 0 to 2^20 - 1 at LCN 4
  put32(a + 0x00, 0x80);
  put32(a + 0x04, 0x48);
  a[0x08] = 1;
  put64(a + 0x18, (1u << 20) - 1);
  put16(a + 0x20, 0x40);
  put64(a + 0x28, uint64_t(1) << 32);
  put64(a + 0x30, uint64_t(1) << 32);
  const uint8_t runs[] = {0x13, 0x00, 0x00, 0x10, 0x04, 0x00};
  std::memcpy(a + 0x40, runs, sizeof runs);
  put32(a + 0x48, 0xFFFFFFFF);

  CNTFSDriver v;
  v.m_hDevice = CRawDevice::FromMemory(disk);
  ASSERT_TRUE(v.Attach(v.m_hDevice, b.data(), 0));
  ASSERT_TRUE(v.Open(0, DRIVE_FIXED, u"claims", true));
  EXPECT_EQ(v.m_nMftBytes, kDevice);
  EXPECT_EQ(v.m_nRecordCount, kDevice / kRecord);
  ASSERT_TRUE(v.ScanMft(nullptr));
  ASSERT_NE(v.ImageRecord(0), nullptr);
  EXPECT_EQ(std::memcmp(v.ImageRecord(0), "FILE", 4), 0);
  // Past the device's end nothing can be read: no record there.
  EXPECT_EQ(v.ImageRecord(kDevice / kRecord - 1), nullptr);
}
