// The readers over a failing disk (the fault-injecting device): recovery writes a file
// with unreadable sectors whole, with zeros there, and reports the byte ranges; a disk
// that is unplugged ends the recovery and the deep scan at once; a deep scan over bad
// areas costs a few failed reads per area and still finds what lies behind them.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "deepscan/FileTypes.h"
#include "deepscan/VirtualDriver.h"
#include "device/PhysicalDriver.h"
#include "fat/FATDirectory.h"
#include "fat/FATDriver.h"
#include "platform/BadAreas.h"
#include "support/FaultyDevice.h"
#include "support/Fixtures.h"
#include "tasks/RecoveryRun.h"
#include "tree/OutputFile.h"

namespace fs = std::filesystem;

namespace {
constexpr uint64_t kSector = CFaultyDevice::kSector;

std::vector<uint8_t> ReadBytes(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

// The fixture's FAT16 volume over a faulty device.
struct FaultyFat {
  std::shared_ptr<CFaultyDevice> dev;
  std::unique_ptr<CFATDriver> volume;
  // bad: sectors that fail from the start (a disk does not go bad while it is read).
  explicit FaultyFat(const std::vector<uint8_t>& bytes, std::pair<uint64_t, uint64_t> bad = {0, 0}) {
    dev = std::make_shared<CFaultyDevice>(bytes);
    dev->AddBad(bad.first, bad.second);
    volume = std::make_unique<CFATDriver>();
    volume->m_hDevice = dev;
    if (!volume->Attach(dev, bytes.data(), 0) || !volume->Open(0, DRIVE_FIXED, u"faulty", true)) volume.reset();
    if (volume) volume->m_pRoot->LoadChildren(true, false, true);
  }
  CFATFile* File(const std::u16string& name) const {
    for (auto& c : volume->m_pRoot->m_children)
      if (c && c->m_strName == name) return dynamic_cast<CFATFile*>(c.get());
    return nullptr;
  }
};

class CCollectPrompts : public ISavePrompts {
 public:
  SaveAnswer AskOverwriteFile(const std::u16string&) override { return SaveAnswer::YesToAll; }
  SaveAnswer AskReplaceFolder(const std::u16string&) override { return SaveAnswer::YesToAll; }
  void ReportError(const std::string& message) override { errors.push_back(message); }
  std::vector<std::string> errors;
};

fs::path Scratch() {
  fs::path p = fs::temp_directory_path() /
               ("quarrow-badreaders-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) +
                "-" + std::to_string(::getpid()));
  fs::remove_all(p);
  fs::create_directories(p);
  return p;
}
}  // namespace

TEST(BadSectorReadersTest, RecoveryWritesUnreadableSectorsAsZerosAndNamesTheRanges) {
  const auto bytes = ReadBytes(FixturePath("fat16.img"));
  FaultyFat clean(bytes);
  ASSERT_TRUE(clean.volume && clean.File(u"Many clusters.bin"));
  // Three sectors inside the file: 10 to 12 from its start (2 KiB clusters, consecutive).
  const uint64_t first = clean.volume->ClusterToSector(clean.File(u"Many clusters.bin")->m_nFirstCluster);
  FaultyFat faulty(bytes, {first + 10, 3});
  ASSERT_TRUE(faulty.volume);
  CFATFile* many = faulty.File(u"Many clusters.bin");
  ASSERT_TRUE(many);

  // Previewed (read into memory), the file has its length, zeros there, and the ranges.
  CMemoryOutputFile preview;
  ASSERT_TRUE(many->WriteContent(preview, nullptr, 0));
  CMemoryOutputFile want;
  ASSERT_TRUE(clean.File(u"Many clusters.bin")->WriteContent(want, nullptr, 0));
  ASSERT_EQ(preview.Bytes().size(), 150000u);
  std::vector<uint8_t> expected = want.Bytes();
  std::fill(expected.begin() + 10 * kSector, expected.begin() + 13 * kSector, uint8_t(0));
  EXPECT_EQ(std::mismatch(preview.Bytes().begin(), preview.Bytes().end(), expected.begin()).first -
                preview.Bytes().begin(),
            long(expected.size()));
  ASSERT_EQ(preview.Unreadable().size(), 1u);
  EXPECT_EQ(preview.Unreadable()[0].nOffset, 10 * kSector);
  EXPECT_EQ(preview.Unreadable()[0].nLength, 3 * kSector);

  // Recovered: written whole, reported as not whole with the byte ranges; the other files
  // of the run are written.
  const fs::path dir = Scratch();
  CRecoveryRun run({many, faulty.File(u"PATTERN.BIN")}, dir.string(), DestinationPolicy::MustExist);
  ASSERT_TRUE(run.OpenDestination());
  CCollectPrompts prompts;
  EXPECT_TRUE(run.Save(nullptr, &prompts));
  EXPECT_EQ(ReadBytes((dir / "Many clusters.bin").string()), expected);
  ASSERT_EQ(run.Result().failed.size(), 1u);
  EXPECT_NE(run.Result().failed[0].find("Many clusters.bin"), std::string::npos);
  ASSERT_EQ(prompts.errors.size(), 1u);
  EXPECT_NE(prompts.errors[0].find("1536 byte(s) could not be read from the source (bytes 5120-6655)"),
            std::string::npos)
      << prompts.errors[0];
  EXPECT_EQ(run.Result().written.size(), 1u);
  EXPECT_FALSE(run.Result().bSourceGone);
  fs::remove_all(dir);
}

TEST(BadSectorReadersTest, AnUnpluggedDiskEndsTheRecoveryWithWhatWasWritten) {
  const auto bytes = ReadBytes(FixturePath("fat16.img"));
  FaultyFat faulty(bytes);
  ASSERT_TRUE(faulty.volume);
  std::vector<CDirEntry*> items;
  for (auto& c : faulty.volume->m_pRoot->m_children)
    if (c && !c->IsDirectory()) items.push_back(c.get());
  ASSERT_GT(items.size(), 5u);
  // The USB stick is pulled while the files are read; the bridge answers EIO from then on.
  faulty.dev->DisconnectAfter(1, EIO);
  faulty.dev->SetWindowBytes(CRawDevice::kDefaultWindowBytes);  // what the listing read ahead is let go
  const fs::path dir = Scratch();
  CRecoveryRun run(items, dir.string(), DestinationPolicy::MustExist);
  ASSERT_TRUE(run.OpenDestination());
  CCollectPrompts prompts;
  EXPECT_FALSE(run.Save(nullptr, &prompts));
  EXPECT_TRUE(run.Result().bSourceGone);
  EXPECT_TRUE(faulty.dev->IsGone());
  // One file, the one being read, is named; no message for every file left.
  ASSERT_EQ(prompts.errors.size(), 1u);
  EXPECT_NE(prompts.errors[0].find("stopped answering"), std::string::npos) << prompts.errors[0];
  EXPECT_LT(run.Result().written.size() + run.Result().failed.size(), items.size());
  // What was written stays.
  for (const auto& w : run.Result().written) EXPECT_TRUE(fs::exists(w)) << w;
  EXPECT_LE(faulty.dev->FailedReads(), 40u);
  fs::remove_all(dir);
}

TEST(BadSectorReadersTest, DeepScanOverBadAreasFindsWhatLiesBehindThem) {
  // 16 MiB: five bad areas of 200 sectors (1,000 bad sectors), a BMP right behind each.
  const uint64_t sectors = 32768;
  const fs::path dir = Scratch();
  const std::string path = (dir / "disk.img").string();
  {
    std::ofstream(path, std::ios::binary).put(0);
    fs::resize_file(path, sectors * kSector);
    std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
    for (int k = 0; k < 5; ++k) PutBmp(f, (uint64_t(k) * 6000 + 3200) * kSector, 3000);
  }
  const auto bytes = ReadBytes(path);
  for (uint32_t skipAfter : {16u, 0u}) {
    SCOPED_TRACE("skip after " + std::to_string(skipAfter));
    const BadSectorPolicy saved = GetBadSectorPolicy();
    SetBadSectorPolicy({1, skipAfter});
    auto dev = std::make_shared<CFaultyDevice>(bytes);
    for (int k = 0; k < 5; ++k) dev->AddBad(uint64_t(k) * 6000 + 3000, 200);
    CVirtualDriver volume;
    DiskInfo info;
    info.szProduct = u"faulty";
    info.nDriveType = DRIVE_FIXED;
    info.nSectorCount = info.nSectorCount2 = sectors;
    ASSERT_TRUE(volume.InitFromDisk(dev, info));
    ASSERT_TRUE(volume.Open(0, DRIVE_FIXED, u"faulty", true));
    SetAllScanFlags(volume, false);
    volume.*FindScanFlag("bmp") = 1;
    uint64_t found = 0;
    EXPECT_TRUE(volume.ScanUnits(nullptr, found));
    EXPECT_EQ(found, 5u) << "every BMP behind a bad area is found";
    if (skipAfter) EXPECT_LE(dev->FailedReads(), 5u * 60) << "a few failed reads per area, not one per sector";
    else EXPECT_GE(dev->FailedReads(), 1000u);
    SetBadSectorPolicy(saved);
  }

  // Unplugged in the middle, the scan ends with what it found.
  auto dev = std::make_shared<CFaultyDevice>(bytes);
  dev->DisconnectAfter(20, ENODEV);
  CVirtualDriver volume;
  DiskInfo info;
  info.nDriveType = DRIVE_FIXED;
  info.nSectorCount = info.nSectorCount2 = sectors;
  ASSERT_TRUE(volume.InitFromDisk(dev, info));
  ASSERT_TRUE(volume.Open(0, DRIVE_FIXED, u"faulty", true));
  SetAllScanFlags(volume, false);
  volume.*FindScanFlag("bmp") = 1;
  uint64_t found = 0;
  EXPECT_FALSE(volume.ScanUnits(nullptr, found));
  EXPECT_TRUE(dev->IsGone());
  EXPECT_LE(dev->FailedReads(), 3u);
  fs::remove_all(dir);
}
