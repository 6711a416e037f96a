// A recovery run tells its source where the next files' data lies (CReadHints), so that a
// source that can prepare reads on another thread (an E01 inflating its chunks) has them ready.
// Over a disk image whose volumes are read through a partition's slice or through the disk's
// own handle at the partition's offset, every range hinted must lie in the volume and hold the
// data of a file the run then writes.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "fat/FATDriver.h"
#include "ntfs/NTFSDriver.h"
#include "support/Fixtures.h"
#include "tasks/RecoveryRun.h"

namespace fs = std::filesystem;

namespace {
constexpr uint64_t kSector = 512;

std::vector<uint8_t> ReadBytes(const fs::path& path) {
  std::ifstream f(path, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

// A disk in memory that takes read hints and keeps them.
class CHintedDisk final : public CRawDevice {
 public:
  explicit CHintedDisk(std::vector<uint8_t> bytes)
      : CRawDevice("<hinted disk>", bytes.size()), m_bytes(bytes), m_memory(FromMemory(std::move(bytes))) {}
  bool TakesReadHints() const override { return true; }
  void WillRead(const ByteRange* ranges, size_t count) override {
    std::lock_guard lock(m_mutex);
    m_hints.insert(m_hints.end(), ranges, ranges + count);
  }
  std::vector<ByteRange> Hints() const {
    std::lock_guard lock(m_mutex);
    return m_hints;
  }
  const std::vector<uint8_t>& Bytes() const { return m_bytes; }

 protected:
  bool ReadDirect(uint64_t offset, void* buffer, size_t len) override { return m_memory->Read(offset, buffer, len); }

 private:
  const std::vector<uint8_t> m_bytes;
  const std::shared_ptr<CRawDevice> m_memory;
  mutable std::mutex m_mutex;
  std::vector<ByteRange> m_hints;
};
}  // namespace

TEST(ReadHints, ARecoveryHintsTheDataOfTheFilesItWritesNext) {
  const auto disk = std::make_shared<CHintedDisk>(ReadBytes(FixturePath("disk.img")));
  // The fixture disk's FAT16 and NTFS partitions (tests/fixtures/README.md).
  const struct {
    const char* what;
    uint64_t nFirstSector, nSectors;
    bool bNtfs, bSlice;  // a handle of its own over the partition, or the disk's at an offset
  } cases[] = {
      {"FAT16 through a slice", 10240, 32768, false, true},
      {"NTFS through the disk's handle", 124928, 32768, true, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const size_t hintsBefore = disk->Hints().size();
    std::unique_ptr<CLogicalDriver> volume;
    if (c.bNtfs) volume = std::make_unique<CNTFSDriver>();
    else volume = std::make_unique<CFATDriver>();
    const uint8_t* boot = disk->Bytes().data() + c.nFirstSector * kSector;
    if (c.bSlice) {
      auto slice = CRawDevice::Slice(disk, c.nFirstSector * kSector, c.nSectors * kSector);
      volume->m_hDevice = slice;
      ASSERT_TRUE(volume->Attach(slice, boot, 0));
    } else {
      volume->m_hDevice = disk;
      ASSERT_TRUE(volume->Attach(disk, boot, c.nFirstSector));
    }
    ASSERT_TRUE(volume->Open(0, DRIVE_FIXED, u"hinted", true));
    volume->m_pRoot->LoadChildren(true, true, true);

    const fs::path dir = fs::path(::testing::TempDir()) / ("quarrow-hints-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    CRecoveryRun run({volume->m_pRoot}, dir.string(), DestinationPolicy::MustExist);
    ASSERT_TRUE(run.OpenDestination());
    ASSERT_TRUE(run.CountFiles(nullptr));
    EXPECT_TRUE(run.Save(nullptr, nullptr));
    ASSERT_GT(run.Result().written.size(), 3u);

    // Every 512-byte block the run wrote, whole or as the short end of a file.
    std::set<std::vector<uint8_t>> blocks;
    for (const std::string& written : run.Result().written) {
      const auto bytes = ReadBytes(written.rfind(dir.string(), 0) == 0 ? fs::path(written) : dir / written);
      for (size_t at = 0; at < bytes.size(); at += kSector)
        blocks.emplace(bytes.begin() + at, bytes.begin() + std::min<size_t>(bytes.size(), at + kSector));
    }
    const auto hints = disk->Hints();
    ASSERT_GE(hints.size(), hintsBefore + 2);  // the NTFS volume has two files that are not resident
    for (size_t i = hintsBefore; i < hints.size(); ++i) {
      const auto& h = hints[i];
      SCOPED_TRACE(h.nOffset);
      ASSERT_GE(h.nOffset, c.nFirstSector * kSector);
      ASSERT_LE(h.nOffset + h.nLength, (c.nFirstSector + c.nSectors) * kSector);
      ASSERT_LE(h.nLength, CReadHints::kLeadBytes + volume->m_nBytesPerCluster);
      // The hinted bytes begin with a block of a file the run wrote (a file's short last block
      // is followed on the disk by the rest of its cluster).
      const auto* at = disk->Bytes().data() + h.nOffset;
      bool found = blocks.count(std::vector<uint8_t>(at, at + kSector)) > 0;
      for (size_t n = 16; n < kSector && !found; ++n) found = blocks.count(std::vector<uint8_t>(at, at + n)) > 0;
      EXPECT_TRUE(found);
    }
    fs::remove_all(dir);
  }
}
