#include "app/LostVolumes.h"
#include "device/LostPartitions.h"

#include <array>
#include <cstring>
#include <fstream>

#include <unistd.h>

#include <gtest/gtest.h>

#include "app/Document.h"
#include "device/PhysicalDriver.h"
#include "support/Fixtures.h"
#include "tasks/Progress.h"
#include "support/Bytes.h"

namespace {
void Put64(uint8_t* p, uint64_t v) { std::memcpy(p, &v, 8); }

std::array<uint8_t, 512> Ntfs(uint64_t sectors, uint32_t hidden) {
  std::array<uint8_t, 512> b{};
  b[0] = 0xEB;
  std::memcpy(&b[3], "NTFS    ", 8);
  PutLE16(&b[11], 512);
  b[13] = 8;
  PutLE32(&b[28], hidden);
  PutLE32(&b[36], 0x00800080);
  Put64(&b[40], sectors);
  b[510] = 0x55;
  b[511] = 0xAA;
  return b;
}
std::array<uint8_t, 512> Fat(uint16_t reserved, uint16_t total16, uint32_t total32) {
  std::array<uint8_t, 512> b{};
  b[0] = 0xEB;
  PutLE16(&b[11], 512);
  b[13] = 4;
  PutLE16(&b[14], reserved);
  PutLE16(&b[19], total16);
  PutLE32(&b[32], total32);
  b[510] = 0x55;
  b[511] = 0xAA;
  return b;
}

// A disk image file in the test's temp folder with boot sectors at the given sectors.
std::string DiskWith(const std::vector<std::pair<uint64_t, std::array<uint8_t, 512>>>& boots, uint64_t sectors) {
  std::string path = std::string(::testing::TempDir()) + "quarrow-lost-" + std::to_string(::getpid()) + "-" +
                     std::to_string(boots.size()) + "-" + std::to_string(sectors) + ".img";
  RemovedAtExit(path);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  std::vector<char> zero(sectors * 512, 0);
  out.write(zero.data(), long(zero.size()));
  for (const auto& [s, b] : boots) {
    out.seekp(long(s * 512));
    out.write(reinterpret_cast<const char*>(b.data()), 512);
  }
  return path;
}

// Counts the sectors the search reads by recording its progress positions.
class CPositions : public IProgressWindow {
 public:
  bool IsWindow() const override { return true; }
  int64_t Send(uint32_t m, uint64_t w, int64_t l) override {
    if (m == WM_SCANPROGRESS && w == SCAN_POSITION) m_positions.push_back(uint64_t(l));
    return 0;
  }
  std::vector<uint64_t> m_positions;
};
}  // namespace

TEST(LostPartitions, BootSectorTestsAndSkips) {
  auto n = Ntfs(1000000, 2048);
  EXPECT_TRUE(IsNtfsBootSector(n));
  EXPECT_EQ(LostVolumeSectors(n, true), 1000000u);
  n[0] = 0xE9;  // another jump instruction: not recognised
  EXPECT_FALSE(IsNtfsBootSector(n));
  auto f = Fat(4, 0, 0);
  EXPECT_TRUE(IsFatBootSector(f));
  EXPECT_EQ(LostVolumeSectors(f, false), 1u);  // zero counts still move on
  EXPECT_EQ(LostVolumeSectors(Fat(32, 0, 81920), false), 81920u);
  EXPECT_EQ(LostVolumeSectors(Fat(1, 2880, 0), false), 2880u);
  f[0] = 0xE9;
  EXPECT_FALSE(IsFatBootSector(f));
  auto big = Ntfs(~0ULL, 0);
  EXPECT_EQ(LostVolumeSectors(big, true), ~0ULL);
}

TEST(LostPartitions, ScanRangesAndWhereTheScanGoesOn) {
  // Three small FAT volumes: at 10 covering 20 sectors (the one at 20 lies inside it), and
  // at 30, right after the first.
  std::string path = DiskWith({{10, Fat(1, 20, 0)}, {20, Fat(1, 4, 0)}, {30, Fat(1, 8, 0)}}, 64);
  struct Case {
    const char* what;
    uint64_t first, last;
    std::vector<uint64_t> found;
  } cases[] = {
      {"empty range", 10, 10, {}},
      {"adjacent volumes, the one inside the first skipped", 0, 64, {10, 30}},
      {"the end sector is never read", 0, 30, {10}},
      {"a range starting inside a volume", 15, 64, {20, 30}},
  };
  for (const auto& c : cases) {
    CKelvoDoc doc(false);
    ASSERT_TRUE(doc.AddDiskImage(path, nullptr));
    doc.EnumerateVolumes();
    doc.EnumerateDisks();
    auto& disk = *doc.Disks()[0];
    disk.m_nFirstUnit = c.first;
    disk.m_nLastUnit = c.last;
    CPositions p;
    EXPECT_TRUE(FindLostVolumes(disk, doc, &p)) << c.what;
    std::vector<uint64_t> found;
    for (const auto& v : doc.Volumes()) found.push_back(v->m_nSectorOffset);
    EXPECT_EQ(found, c.found) << c.what;
    for (uint64_t s : p.m_positions) EXPECT_LT(s, c.last) << c.what;
  }
}

TEST(LostPartitions, FindsTheVolumesOfAZeroedPartitionTable) {
  std::string intact = FixturePath("disk.img");
  std::string zeroed = std::string(::testing::TempDir()) + "quarrow-zeroed-" + std::to_string(::getpid()) + ".img";
  // A FAT12 volume placed right after the NTFS volume's backup boot sector (NTFS counts
  // one sector less than its partition and keeps the copy there).
  ASSERT_EQ(RunCommand("cp " + ShellQuote(intact) + " " + ShellQuote(zeroed) + " && dd if=/dev/zero of=" +
                           ShellQuote(zeroed) + " bs=512 count=1 conv=notrunc status=none && dd if=" +
                           ShellQuote(FixturePath("fat12.img")) + " of=" + ShellQuote(zeroed) +
                           " bs=512 seek=157696 conv=notrunc status=none",
                       nullptr, nullptr),
            0);
  {
    CKelvoDoc doc(false);
    ASSERT_TRUE(doc.AddDiskImage(zeroed, nullptr));
    doc.EnumerateVolumes();
    doc.EnumerateDisks();
    EXPECT_TRUE(doc.Volumes().empty());
    auto& disk = *doc.Disks()[0];
    disk.m_nFirstUnit = 0;
    disk.m_nLastUnit = disk.m_nClusterCount;
    ASSERT_TRUE(FindLostVolumes(disk, doc, nullptr));
    std::vector<std::pair<std::u16string, uint64_t>> found;
    for (const auto& v : doc.Volumes()) found.emplace_back(v->GetFileSystemText(), v->m_nSectorOffset);
    EXPECT_EQ(found, (std::vector<std::pair<std::u16string, uint64_t>>{{u"FAT12", 2048},
                                                                       {u"FAT16", 10240},
                                                                       {u"FAT32", 43008},
                                                                       {u"NTFS", 124928},
                                                                       {u"FAT12", 157696}}));
    EXPECT_EQ(doc.Volumes()[2]->m_szName, u"LostDriver_43009");
    // A second search finds the same boot sectors and skips them as known.
    size_t before = doc.Volumes().size();
    ASSERT_TRUE(FindLostVolumes(disk, doc, nullptr));
    EXPECT_EQ(doc.Volumes().size(), before);
  }
  {
    // With the table intact the same volumes are known and skipped.
    CKelvoDoc doc(false);
    ASSERT_TRUE(doc.AddDiskImage(intact, nullptr));
    doc.EnumerateVolumes();
    doc.EnumerateDisks();
    size_t known = doc.Volumes().size();
    auto& disk = *doc.Disks()[0];
    disk.m_nFirstUnit = 0;
    disk.m_nLastUnit = disk.m_nClusterCount;
    ASSERT_TRUE(FindLostVolumes(disk, doc, nullptr));
    EXPECT_EQ(doc.Volumes().size(), known);
  }
  std::remove(zeroed.c_str());
}

TEST(LostPartitions, LostVolumesListAndRecoverAsFromTheIntactDisk) {
  std::string intact = FixturePath("disk.img");
  std::string zeroed = std::string(::testing::TempDir()) + "quarrow-zeroed-cli-" + std::to_string(::getpid()) + ".img";
  ASSERT_EQ(RunCommand("cp " + ShellQuote(intact) + " " + ShellQuote(zeroed) + " && dd if=/dev/zero of=" +
                           ShellQuote(zeroed) + " bs=512 count=1 conv=notrunc status=none",
                       nullptr, nullptr),
            0);
  const std::string cli = QUARROW_CLI_PATH;
  std::string out, err;
  ASSERT_EQ(RunCommand(cli + " findlost " + ShellQuote(zeroed) + " --json", &out, &err), 0) << err;
  EXPECT_NE(out.find("\"name\":\"LostDriver_43009\""), std::string::npos) << out;
  EXPECT_NE(out.find("\"sector\":124928"), std::string::npos) << out;
  // The same listing, minus the two result folders whose times are the moment of listing.
  auto listing = [&](const std::string& args) {
    std::string o, e;
    EXPECT_EQ(RunCommand(cli + " list " + args + " --recursive --all --json | grep -v -e '\"LostFiles' -e "
                                                   "'\"DeletedFiles'",
                         &o, &e),
              0)
        << e;
    return o;
  };
  for (auto [partition, lost] : {std::pair{3, "LostDriver_43009"}, std::pair{4, "LostDriver_124929"}}) {
    std::string a = listing(ShellQuote(intact) + " --partition " + std::to_string(partition));
    std::string b = listing(ShellQuote(zeroed) + " --lost " + lost);
    EXPECT_FALSE(a.empty());
    EXPECT_EQ(a, b) << lost;
  }
  std::string dir = RemovedAtExit(std::string(::testing::TempDir()) + "quarrow-lost-out-" + std::to_string(::getpid()));
  ASSERT_EQ(RunCommand("mkdir -p " + ShellQuote(dir), nullptr, nullptr), 0);
  ASSERT_EQ(RunCommand(cli + " recover " + ShellQuote(zeroed) + " --lost LostDriver_43009 OldStuff --to " +
                           ShellQuote(dir),
                       &out, &err),
            0)
      << err;
  EXPECT_EQ(RunCommand(cli + " list " + ShellQuote(zeroed) + " --lost LostDriver_5", &out, &err), 2);
  EXPECT_EQ(RunCommand(cli + " list " + ShellQuote(zeroed) + " --lost Bogus", &out, &err), 2);
  RunCommand("rm -rf " + ShellQuote(dir) + " " + ShellQuote(zeroed), nullptr, nullptr);
}
