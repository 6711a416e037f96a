// The bad-sector policy of the read path: bounded retries, bad sectors known after one
// failure, the search past a bad area, and a device that disappears.
#include <gtest/gtest.h>

#include <cmath>

#include "platform/BadAreas.h"
#include "support/FaultyDevice.h"

namespace {
constexpr uint64_t kSector = CFaultyDevice::kSector;

// The policy for one test, and the default again afterwards.
class PolicyScope {
 public:
  explicit PolicyScope(BadSectorPolicy p) : m_saved(GetBadSectorPolicy()) { SetBadSectorPolicy(p); }
  ~PolicyScope() { SetBadSectorPolicy(m_saved); }

 private:
  BadSectorPolicy m_saved;
};

std::shared_ptr<CFaultyDevice> Device(uint64_t sectors) {
  std::vector<uint8_t> bytes(sectors * kSector);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = uint8_t(i / kSector * 31 + 1);
  return std::make_shared<CFaultyDevice>(std::move(bytes));
}

// Reads every sector in order, as a unit scan does; answers the sectors that failed.
std::set<uint64_t> ScanSectors(CRawDevice& dev, uint64_t sectors) {
  std::set<uint64_t> failed;
  uint8_t buf[kSector];
  for (uint64_t s = 0; s < sectors; ++s)
    if (!dev.Read(s * kSector, buf, kSector)) failed.insert(s);
  return failed;
}
}  // namespace

TEST(BadAreasTest, ABadAreaCostsAFewFailedReadsAndNoGoodSector) {
  struct Case {
    uint64_t nFirst, nCount;
  } cases[] = {{3000, 1000}, {100, 17}, {5000, 16}, {8000, 5000}, {20000, 12768}};  // the last reaches the end
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.nCount) + " bad sectors at " + std::to_string(c.nFirst));
    PolicyScope policy({1, 16});
    const uint64_t sectors = 32768;
    auto dev = Device(sectors);
    dev->AddBad(c.nFirst, c.nCount);
    std::set<uint64_t> bad;
    for (uint64_t s = c.nFirst; s < c.nFirst + c.nCount; ++s) bad.insert(s);
    EXPECT_EQ(ScanSectors(*dev, sectors), bad) << "every good sector reads, every bad one fails";
    // 16 in a row, each tried twice, then about 2 log2(n) probes; plus the read-ahead windows.
    const double bound = 2 * 16 + 2 * std::log2(double(c.nCount) + 1) + 8;
    EXPECT_LE(double(dev->FailedReads()), bound);
    EXPECT_EQ(dev->UnreadableSectors(), c.nCount);
    EXPECT_FALSE(dev->IsGone());
    // Read again, the area costs nothing: every read of it fails without asking the disk.
    const uint64_t failedBefore = dev->FailedReads();
    EXPECT_EQ(ScanSectors(*dev, sectors), bad);
    EXPECT_EQ(dev->FailedReads(), failedBefore);
  }
}

TEST(BadAreasTest, RetriesAndSplittingAreBounded) {
  {
    // A sector that fails once reads on its retry; with no retries it fails.
    PolicyScope policy({1, 16});
    auto dev = Device(64);
    dev->AddFlaky(10, 1, 1);
    uint8_t buf[kSector];
    EXPECT_TRUE(dev->Read(10 * kSector, buf, kSector));
    EXPECT_EQ(buf[0], dev->Bytes()[10 * kSector]);
  }
  {
    PolicyScope policy({0, 16});
    auto dev = Device(64);
    dev->AddFlaky(10, 1, 1);
    uint8_t buf[kSector];
    EXPECT_FALSE(dev->Read(10 * kSector, buf, kSector));
    // Known bad now: no second try without a new policy decision.
    EXPECT_FALSE(dev->Read(10 * kSector, buf, kSector));
    EXPECT_EQ(dev->ReadsOfSector(10), 1u);
  }
  {
    // A failed read of a cluster is split once to find its bad sector; the good ones around
    // it then read, the bad one fails at once.
    PolicyScope policy({1, 16});
    auto dev = Device(64);
    dev->AddBad(13, 1);
    std::vector<uint8_t> cluster(8 * kSector);
    EXPECT_FALSE(dev->Read(8 * kSector, cluster.data(), cluster.size()));
    const uint64_t reads = dev->ReadsOfSector(13);
    uint8_t buf[kSector];
    for (uint64_t s = 8; s < 16; ++s) EXPECT_EQ(dev->Read(s * kSector, buf, kSector), s != 13) << s;
    EXPECT_EQ(dev->ReadsOfSector(13), reads);
    EXPECT_LE(reads, 4u);  // the window, the cluster, its retry, the sector alone
  }
  {
    // Without the search (--skip-after 0) a bad area is read sector by sector.
    PolicyScope policy({0, 0});
    auto dev = Device(4096);
    dev->AddBad(1000, 500);
    ScanSectors(*dev, 4096);
    EXPECT_GE(dev->FailedReads(), 500u);
  }
}

TEST(BadAreasTest, AVanishedDeviceFailsEveryReadAtOnce) {
  for (int err : {ENODEV, EIO}) {
    SCOPED_TRACE(err);
    PolicyScope policy({1, 16});
    auto dev = Device(65536);
    dev->DisconnectAfter(50, err);
    const auto failed = ScanSectors(*dev, 65536);
    EXPECT_TRUE(dev->IsGone());
    EXPECT_GT(failed.size(), 30000u);
    // After the failures that told the disk was gone (at once for ENODEV; for EIO the run of
    // 16 and a sector read before), nothing more reached it.
    EXPECT_LE(dev->FailedReads(), err == ENODEV ? 2u : 40u);
  }
  {
    // A partition of a disk image reads through the disk: it learns from it that the disk
    // is gone, so the readers of its volume stop too.
    auto dev = Device(4096);
    auto part = CRawDevice::Slice(dev, 1024 * kSector, 1024 * kSector);
    uint8_t buf[kSector];
    ASSERT_TRUE(part->Read(0, buf, kSector));
    dev->SetWindowBytes(CRawDevice::kDefaultWindowBytes);  // what was read ahead is let go
    dev->DisconnectAfter(0, EIO);
    for (uint64_t s = 1; s < 64 && !part->IsGone(); ++s) EXPECT_FALSE(part->Read(s * kSector, buf, kSector));
    EXPECT_TRUE(dev->IsGone());
    EXPECT_TRUE(part->IsGone());
  }
}
