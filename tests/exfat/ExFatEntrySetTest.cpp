// The exFAT parsers on real bytes: the boot region and entry sets of exfat.img (made by
// mkfs.exfat and written through exfat-fuse), and mutated copies of them.
#include <array>
#include <cstdlib>
#include <ctime>

#include <gtest/gtest.h>

#include "device/LostPartitions.h"
#include "exfat/ExFatEntrySet.h"
#include "support/Bytes.h"
#include "exfat/ExFatImage.h"

using namespace exfattest;

TEST(ExFatBoot, RealBootSectorAndHostileFields) {
  const CExFatImage image;
  const std::vector<uint8_t> real(image.Bytes().begin(), image.Bytes().begin() + 512);
  ExFatGeometry g;
  ASSERT_EQ(ParseExFatGeometry(ExFatBootBytes(real.data(), 512), g), ExFatBootCheck::Ok);
  EXPECT_EQ(g.nBytesPerSector, 512u);
  EXPECT_EQ(g.nBytesPerCluster, 4096u);
  EXPECT_EQ(g.nVolumeLength, 32u * 1024 * 1024 / 512);
  EXPECT_GE(g.nRootCluster, 2u);

  struct Case {
    const char* what;
    size_t offset;
    std::vector<uint8_t> bytes;
    ExFatBootCheck expected;
  } cases[] = {
      {"another name", 3, {'E', 'X', 'F', 'A', 'X'}, ExFatBootCheck::NoSignature},
      {"no 55 AA", 510, {0x55, 0x00}, ExFatBootCheck::NoSignature},
      {"FAT parameters where zeros belong", 0x0B, {0x00, 0x02}, ExFatBootCheck::NotZero},
      {"256-byte sectors", 108, {8}, ExFatBootCheck::BadShift},
      {"8 KiB sectors", 108, {13}, ExFatBootCheck::BadShift},
      {"64 MiB clusters", 109, {17}, ExFatBootCheck::BadShift},
      {"32 MiB clusters", 109, {16}, ExFatBootCheck::BadLayout},  // the heap no longer fits
      {"three FATs", 110, {3}, ExFatBootCheck::BadFatCount},
      {"FAT inside the boot regions", 80, {20, 0, 0, 0}, ExFatBootCheck::BadLayout},
      {"FAT of no sectors", 84, {0, 0, 0, 0}, ExFatBootCheck::BadLayout},
      {"FAT overlapping the heap", 84, {0, 0, 1, 0}, ExFatBootCheck::BadLayout},
      {"no clusters", 92, {0, 0, 0, 0}, ExFatBootCheck::BadClusterCount},
      {"more clusters than the FAT maps", 92, {0, 0, 0, 0x10}, ExFatBootCheck::BadClusterCount},
      {"heap past the volume", 72, {0, 0x10, 0, 0, 0, 0, 0, 0}, ExFatBootCheck::BadLayout},
      {"volume bytes beyond 64 bits", 72, {0, 0, 0, 0, 0, 0, 0, 0x80}, ExFatBootCheck::BadLayout},
      {"root before the heap", 96, {1, 0, 0, 0}, ExFatBootCheck::BadRootCluster},
      {"root past the heap", 96, {0, 0, 0, 1}, ExFatBootCheck::BadRootCluster},
  };
  for (const auto& c : cases) {
    auto b = real;
    std::copy(c.bytes.begin(), c.bytes.end(), b.begin() + c.offset);
    EXPECT_EQ(ParseExFatGeometry(ExFatBootBytes(b.data(), 512), g), c.expected) << c.what;
  }
}

TEST(ExFatBoot, ChecksumSectorAndBackupRegion) {
  CExFatImage image;
  auto& b = image.Bytes();
  const std::span<const uint8_t> region(b.data(), 12 * 512);
  ASSERT_TRUE(VerifyExFatBootRegion(region, 512));
  // The volume flags and the percentage in use change while a volume is mounted: the
  // checksum leaves them out. Any other byte of the first eleven sectors counts.
  for (size_t at : {106u, 107u, 112u}) {
    b[at] ^= 0x5A;
    EXPECT_TRUE(VerifyExFatBootRegion(region, 512)) << at;
    b[at] ^= 0x5A;
  }
  for (size_t at : {3u, 113u, 600u, 11u * 512 - 1, 11u * 512 + 4}) {
    b[at] ^= 0x01;
    EXPECT_FALSE(VerifyExFatBootRegion(region, 512)) << at;
    b[at] ^= 0x01;
  }
  ASSERT_NE(image.Open(), nullptr);
  EXPECT_FALSE(image.Open()->m_bUsedBackupBoot);

  // A damaged main region: the volume opens from the backup and lists the same root.
  b[600] ^= 0x01;
  auto volume = image.Open();
  ASSERT_NE(volume, nullptr);
  EXPECT_TRUE(volume->m_bUsedBackupBoot);
  EXPECT_NE(Child(volume->m_pRoot, u"README.TXT"), nullptr);
  // Both damaged: not opened.
  b[12 * 512 + 600] ^= 0x01;
  EXPECT_EQ(image.Open(), nullptr);
}

TEST(ExFatEntrySet, RealSetAndDamagedCopies) {
  const CExFatImage image;
  const size_t at = image.FindSet(u"A long file name.txt");
  const auto& bytes = image.Bytes();
  const std::vector<uint8_t> real(bytes.begin() + at, bytes.begin() + at + 32 * 4);
  ExFatEntrySet set;
  ASSERT_EQ(ParseExFatEntrySet(real, set), ExFatSetParse::Ok);
  EXPECT_TRUE(set.bChecksumOk);
  EXPECT_FALSE(set.bDeleted);
  EXPECT_EQ(set.nEntries, 4u);  // File, Stream, two name entries for 20 characters
  EXPECT_EQ(set.nDataLength, 2000u);
  EXPECT_EQ(set.nValidDataLength, 2000u);
  EXPECT_TRUE(set.NoFatChain());

  struct Case {
    const char* what;
    size_t offset;
    std::vector<uint8_t> bytes;
    size_t keep;  // entries handed to the parser
    ExFatSetParse expected;
    bool checksumOk;
  } cases[] = {
      {"a character of the name changed", 64 + 2, {'a'}, 4, ExFatSetParse::Ok, false},
      {"the first cluster changed", 32 + 20, {0x7F}, 4, ExFatSetParse::Ok, false},
      // Deleting clears the in-use bit of every entry: the checksum still holds.
      {"deleted", 0, {0x05}, 4, ExFatSetParse::Ok, true},
      {"one secondary", 1, {1}, 4, ExFatSetParse::BadSecondaryCount, false},
      {"more secondaries than there are", 1, {9}, 4, ExFatSetParse::Truncated, false},
      {"cut short", 0, {}, 3, ExFatSetParse::Truncated, false},
      {"a live File entry over deleted secondaries", 32, {0x40}, 4, ExFatSetParse::MixedState, false},
      {"a primary among the secondaries", 64, {0x85}, 4, ExFatSetParse::MixedState, false},
      {"no stream extension first", 32, {0xC1}, 4, ExFatSetParse::NoStream, false},
      {"a name of no characters", 32 + 3, {0}, 4, ExFatSetParse::BadNameLength, false},
      {"a name longer than its entries", 32 + 3, {31}, 4, ExFatSetParse::BadNameLength, false},
      {"not a File entry", 0, {0x83}, 4, ExFatSetParse::NotAFile, false},
  };
  for (const auto& c : cases) {
    auto b = real;
    std::copy(c.bytes.begin(), c.bytes.end(), b.begin() + c.offset);
    if (c.offset == 0 && !c.bytes.empty() && c.bytes[0] == 0x05)
      for (size_t k = 1; k < 4; ++k) b[32 * k] &= 0x7F;
    b.resize(32 * c.keep);
    ExFatEntrySet s;
    ASSERT_EQ(ParseExFatEntrySet(b, s), c.expected) << c.what;
    if (c.expected == ExFatSetParse::Ok) {
      EXPECT_EQ(s.bChecksumOk, c.checksumOk) << c.what;
      EXPECT_EQ(s.strName.size(), 20u) << c.what;
    }
  }
}

TEST(ExFatEntrySet, TimestampsWithTenMsAndUtcOffset) {
  // 2023-11-14 22:13:20 as an exFAT timestamp.
  const uint32_t ts = (uint32_t(2023 - 1980) << 25) | (11u << 21) | (14u << 16) | (22u << 11) | (13u << 5) | 10u;
  const int64_t utc = 1700000000;
  struct Case {
    uint32_t ts;
    uint8_t tenMs, offset;
    bool ok;
    int64_t expected;
  } cases[] = {
      {ts, 0, 0x80, true, utc},                           // UTC
      {ts, 150, 0x80, true, utc + 1},                      // 1.5 s more: the whole second counts
      {ts, 199, 0x80, true, utc + 1},
      {ts, 0, 0x80 | 4, true, utc - 3600},                 // UTC+1: the same wall clock an hour earlier
      {ts, 0, 0x80 | (128 - 20), true, utc + 5 * 3600},    // UTC-5
      {0, 0, 0x80, false, 0},                              // no time
      {ts & ~(0xFu << 21), 0, 0x80, false, 0},             // month 0
      {ts | (0x1Fu << 11), 0, 0x80, false, 0},             // hour 31
  };
  for (const auto& c : cases) {
    int64_t t = 0;
    ASSERT_EQ(ExFatTimeToUnix(c.ts, c.tenMs, c.offset, t), c.ok) << c.ts << " " << int(c.offset);
    if (c.ok) EXPECT_EQ(t, c.expected) << int(c.tenMs) << " " << int(c.offset);
  }
  // Without the offset's valid bit the time is local time of the process's zone.
  const char* old = std::getenv("TZ");
  const std::string saved = old ? old : "";
  setenv("TZ", "EST5", 1);
  tzset();
  int64_t t = 0;
  EXPECT_TRUE(ExFatTimeToUnix(ts, 0, 0, t));
  EXPECT_EQ(t, utc + 5 * 3600);
  if (old) setenv("TZ", saved.c_str(), 1);
  else unsetenv("TZ");
  tzset();
}

TEST(ExFatBoot, LostPartitionProbe) {
  const CExFatImage image;
  std::array<uint8_t, 512> b;
  std::copy(image.Bytes().begin(), image.Bytes().begin() + 512, b.begin());
  EXPECT_TRUE(IsExFatBootSector(b));
  EXPECT_FALSE(IsFatBootSector(b));  // its jump is EB but its FAT parameters are zero
  EXPECT_FALSE(IsNtfsBootSector(b));
  EXPECT_EQ(LostVolumeSectors(b, false), 32u * 1024 * 1024 / 512);
  // The volume length counts the volume's own sectors; the search moves in 512-byte ones.
  b[108] = 12;
  EXPECT_TRUE(IsExFatBootSector(b));
  EXPECT_EQ(LostVolumeSectors(b, false), 8u * 32 * 1024 * 1024 / 512);
  b[109] = 14;  // 64 MiB clusters
  EXPECT_FALSE(IsExFatBootSector(b));
}
