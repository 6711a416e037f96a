#include "fat/FATDriver.h"
#include "support/Bytes.h"

#include <array>
#include <cstring>

#include <gtest/gtest.h>

namespace {


// A boot sector of bps bytes per sector, spc sectors per cluster, one reserved sector,
// two FATs of fatSectors each, rootEntries entries and total sectors.
std::array<uint8_t, 512> Boot(uint32_t bps, uint32_t spc, uint32_t fatSectors, uint32_t rootEntries, uint32_t total,
                              bool use32BitFields = false, uint32_t rootCluster = 2) {
  std::array<uint8_t, 512> b{};
  PutLE16(&b[0x0B], bps);
  b[0x0D] = uint8_t(spc);
  PutLE16(&b[0x0E], 1);
  b[0x10] = 2;
  PutLE16(&b[0x11], rootEntries);
  if (!use32BitFields && total < 65536) PutLE16(&b[0x13], total);
  else PutLE32(&b[0x20], total);
  if (!use32BitFields && fatSectors < 65536) PutLE16(&b[0x16], fatSectors);
  else PutLE32(&b[0x24], fatSectors);
  PutLE32(&b[0x2C], rootCluster);
  PutLE16(&b[0x1FE], 0xAA55);
  return b;
}

}  // namespace

TEST(FATDriver, WidthFollowsTheClusterCount) {
  struct Case {
    uint32_t clusters;
    int32_t fs;
  } cases[] = {{4084, FS_FAT12}, {4085, FS_FAT16}, {65524, FS_FAT16}, {65525, FS_FAT32}};
  for (const auto& c : cases) {
    // 1 reserved + 2 x 256 FAT sectors + 32 root sectors, then the data clusters.
    auto b = Boot(512, 1, 256, 512, 1 + 512 + 32 + c.clusters);
    FatGeometry g;
    ASSERT_EQ(ParseFatGeometry(b, g), FatBootCheck::Ok);
    EXPECT_EQ(g.nClusterCount, c.clusters);
    EXPECT_EQ(g.nFileSystem, c.fs) << c.clusters;
    EXPECT_EQ(g.nFirstDataSector, 1u + 512 + 32);
  }
}

TEST(FATDriver, BootSectorAcceptanceAndHostileCounts) {
  struct Case {
    const char* what;
    std::array<uint8_t, 512> boot;
    FatBootCheck expected;
  } cases[] = {
      {"64 x 512-byte cluster", Boot(512, 64, 16, 512, 100000), FatBootCheck::Ok},
      {"128 x 512-byte cluster", Boot(512, 128, 16, 512, 100000), FatBootCheck::ClusterTooLarge},
      {"zero sectors per cluster", Boot(512, 0, 16, 512, 100000), FatBootCheck::ZeroGeometry},
      {"zero bytes per sector", Boot(0, 1, 16, 512, 100000), FatBootCheck::ZeroGeometry},
      {"tables larger than the volume", Boot(512, 1, 60000, 512, 1000), FatBootCheck::OverheadExceedsVolume},
  };
  for (auto& c : cases) {
    FatGeometry g;
    EXPECT_EQ(ParseFatGeometry(c.boot, g), c.expected) << c.what;
  }
  auto noSig = Boot(512, 1, 16, 512, 100000);
  noSig[0x1FF] = 0;
  EXPECT_EQ(CheckFatBootSector(noSig), FatBootCheck::NoSignature);
}

TEST(FATDriver, OpensFromBytesWithThirtyTwoBitFields) {
  // A FAT16-sized volume whose 16-bit total is 0 takes the 32-bit total; a FAT32 volume
  // whose root cluster is 5 starts its root there.
  auto fat16 = Boot(512, 4, 64, 512, 40000, true);
  FatGeometry g;
  ASSERT_EQ(ParseFatGeometry(fat16, g), FatBootCheck::Ok);
  EXPECT_EQ(g.nTotalSectors, 40000u);
  EXPECT_EQ(g.nFileSystem, FS_FAT16);

  std::vector<uint8_t> image(512 * 4096);
  auto fat32 = Boot(512, 1, 600, 0, 70000, true, 5);
  std::memcpy(image.data(), fat32.data(), 512);
  CFATDriver v;
  v.m_hDevice = CRawDevice::FromMemory(image);
  // Opening over a borrowed handle: the boot sector comes through Attach.
  ASSERT_TRUE(v.Attach(v.m_hDevice, fat32.data(), 0));
  ASSERT_TRUE(v.Open(0, DRIVE_FIXED, u"test", true));
  EXPECT_EQ(v.m_nFileSystem, FS_FAT32);
  EXPECT_EQ(v.m_nRootCluster, 5u);
  EXPECT_EQ(v.m_nFirstDataSector, 1u + 1200);
  EXPECT_EQ(v.m_nRootSector, 1u + 1200 + 3);
  EXPECT_EQ(v.ClusterToSector(2), v.m_nFirstDataSector);
  EXPECT_EQ(v.m_nFirstUnit, 2u);
  EXPECT_EQ(v.m_nLastUnit, v.m_nClusterCount + 1);
  EXPECT_EQ(v.m_nDataSectors, 70000u - 1201);
}
