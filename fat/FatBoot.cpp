// The boot sector, the volume's geometry and the allocation table.
//
// Format notes: sector 0 holds the BIOS parameter block (fat/FATLayout.h). The parsers
// take exactly 512 bytes, whatever the sector size the block declares; every field read
// lies in those bytes. Traps:
// - The FAT width follows from the number of data clusters alone (fewer than 4085: FAT12,
//   fewer than 65525: FAT16, else FAT32); the type text of the boot sector is never read.
// - The 16-bit total and FAT size fields take precedence; 0 sends the reader to the
//   32-bit ones, on FAT12/16 volumes too.
// - A boot sector may claim anything: counts of zero, a cluster wider than 32 KiB, FATs
//   and root region larger than the volume. The geometry is derived with checked
//   arithmetic and such a boot sector makes the open fail instead of dividing by zero or
//   wrapping.
// - FAT12 entries are 12 bits at n * 1.5 bytes, so an entry may straddle two sectors;
//   the table cache holds two sectors for that case. The top four bits of a FAT32 entry
//   are not part of it.
// - Valid cluster numbers are 2 to m_nClusterCount + 1; the table is not consulted for
//   any other number (0 is answered).
#include "fat/FATDriver.h"

#include "deepscan/ResultNodes.h"
#include "fat/FATDirectory.h"
#include "fat/FATLayout.h"
#include "platform/ByteReader.h"
#include "platform/Checked.h"
#include "platform/LocalTime.h"

using namespace fatlayout;

FatBootCheck CheckFatBootSector(FatBootBytes boot) {
  if (LE16<kSignature>(boot) != kBootSignature) return FatBootCheck::NoSignature;
  uint32_t product = uint32_t(LE16<kBytesPerSector>(boot)) * boot[kSectorsPerCluster];
  if (product > kMaxBytesPerCluster) return FatBootCheck::ClusterTooLarge;
  return FatBootCheck::Ok;
}

FatBootCheck ParseFatGeometry(FatBootBytes boot, FatGeometry& g) {
  if (FatBootCheck c = CheckFatBootSector(boot); c != FatBootCheck::Ok) return c;
  g = FatGeometry{};
  g.nBytesPerSector = LE16<kBytesPerSector>(boot);
  g.nSectorsPerCluster = boot[kSectorsPerCluster];
  g.nReservedSectors = LE16<kReservedSectors>(boot);
  g.nNumberOfFats = boot[kNumberOfFats];
  g.nRootEntryCount = LE16<kRootEntryCount>(boot);
  uint32_t fat16 = LE16<kSectorsPerFat16>(boot);
  g.nSectorsPerFat = fat16 ? fat16 : LE32<kSectorsPerFat32>(boot);
  uint32_t total16 = LE16<kTotalSectors16>(boot);
  g.nTotalSectors = total16 ? total16 : LE32<kTotalSectors32>(boot);
  g.nRootClusterField = LE32<kRootCluster>(boot);
  // The geometry divides by both counts and needs sectors that hold whole entries.
  if (g.nBytesPerSector < kDirEntrySize || g.nSectorsPerCluster == 0) return FatBootCheck::ZeroGeometry;
  g.nRootDirSectors = (g.nRootEntryCount * kDirEntrySize + g.nBytesPerSector - 1) / g.nBytesPerSector;
  uint64_t overhead = uint64_t(g.nReservedSectors) + uint64_t(g.nNumberOfFats) * g.nSectorsPerFat + g.nRootDirSectors;
  auto data = checked::Sub<uint64_t>(g.nTotalSectors, overhead);
  if (!data) return FatBootCheck::OverheadExceedsVolume;
  g.nFirstDataSector = overhead;
  g.nClusterCount = *data / g.nSectorsPerCluster;
  g.nFileSystem = g.nClusterCount < kFat12MaxClusters ? FS_FAT12 : g.nClusterCount < kFat16MaxClusters ? FS_FAT16 : FS_FAT32;
  return FatBootCheck::Ok;
}

CFATDriver::CFATDriver() = default;

uint64_t CFATDriver::ClusterToSector(uint64_t cluster) {
  // Clusters 0 and 1 lie before the data region; they map below it without wrapping.
  if (cluster < 2) return m_nFirstDataSector;
  return (cluster - 2) * m_nSectorsPerCluster + m_nFirstDataSector;
}

bool CFATDriver::ReadGeometry() {
  if (!ReadBootSector()) return false;
  return CheckFatBootSector(m_bootSector) == FatBootCheck::Ok;
}

bool CFATDriver::Attach(DeviceHandle handle, const uint8_t* bootSector, uint64_t sectorOffset) {
  return AttachBootSector(std::move(handle), bootSector, sectorOffset);
}

bool CFATDriver::Open(uint8_t device, int32_t driveType, const std::u16string& name, bool sharedHandle) {
  if (!CLogicalDriver::Open(device, driveType, name, sharedHandle)) return false;
  if (!m_bSharedHandle && !ReadGeometry()) return false;
  FatGeometry g;
  if (ParseFatGeometry(m_bootSector, g) != FatBootCheck::Ok) return false;
  m_geometry = g;
  m_nFileSystem = g.nFileSystem;
  m_nClusterCount = g.nClusterCount;
  m_nFirstDataSector = g.nFirstDataSector;
  m_nRootCluster = g.nFileSystem == FS_FAT32 ? g.nRootClusterField : 0;
  uint64_t fatEnd = uint64_t(g.nReservedSectors) + uint64_t(g.nNumberOfFats) * g.nSectorsPerFat;
  m_nRootSector = g.nFileSystem == FS_FAT32
                      ? g.nFirstDataSector + (uint64_t(g.nRootClusterField < 2 ? 2 : g.nRootClusterField) - 2) * g.nSectorsPerCluster
                      : fatEnd;
  m_nFirstUnit = 2;
  m_nLastUnit = g.nClusterCount + 1;
  m_nDataSectors = g.nTotalSectors - g.nFirstDataSector;
  m_nSectorsPerCluster = g.nSectorsPerCluster;
  m_nBytesPerSector = g.nBytesPerSector;
  m_nBytesPerCluster = g.nSectorsPerCluster * g.nBytesPerSector;
  m_pUnitBuffer.assign(m_nBytesPerCluster, 0);
  m_pDirCache.assign(m_nBytesPerSector, 0);
  m_pProbeSector.assign(m_nBytesPerSector, 0);
  m_pFatCache.assign(2 * size_t(m_nBytesPerSector), 0);
  m_pDataCache.assign(2 * size_t(m_nBytesPerSector), 0);
  CreateRoot();
  return true;
}

void CFATDriver::CreateRoot() {
  auto* root = new CFATDirectory();
  root->m_pDriver = this;
  root->m_strName = m_szName;
  root->m_nStatus = STATUS_EXISTING;
  root->m_nFirstCluster = m_nRootCluster;
  root->m_nFirstSector = m_nRootSector;
  m_pRoot = root;
  auto lost = std::make_unique<CFATDirectory>();
  InitResultsFolder(*lost, this, u"LostFiles", localtime_::Now());
  m_pLostFolder = static_cast<CDirectory*>(root->AddChild(std::move(lost)));
}

uint32_t CFATDriver::GetFatEntry(uint64_t n, uint32_t copy) {
  if (!IsClusterNumber(n) || m_pFatCache.size() < 2 * size_t(m_nBytesPerSector)) return 0;
  const uint64_t bps = m_nBytesPerSector;
  uint64_t offset = m_nFileSystem == FS_FAT12 ? n + n / 2 : m_nFileSystem == FS_FAT16 ? 2 * n : 4 * n;
  uint64_t s = m_geometry.nReservedSectors + uint64_t(copy) * m_geometry.nSectorsPerFat + offset / bps;
  if (s != m_nFatCacheSector) {
    // A failed read leaves the old bytes; the value is then garbage but bounded.
    ReadSectors(s, m_pFatCache.data(), m_nBytesPerSector, 1);
    m_nFatCacheSector = s;
  }
  size_t o = static_cast<size_t>(offset % bps);
  if (m_nFileSystem == FS_FAT12 && o == bps - 1) ReadSectors(s + 1, m_pFatCache.data() + bps, m_nBytesPerSector, 1);
  const uint8_t* p = m_pFatCache.data() + o;
  switch (m_nFileSystem) {
    case FS_FAT12: {
      uint32_t w = bytes::RawLE16(p);
      return (n & 1) ? w >> 4 : w & 0xFFF;
    }
    case FS_FAT16: return bytes::RawLE16(p);
    default: return bytes::RawLE32(p) & 0x0FFFFFFF;
  }
}

int CFATDriver::ClassifyFatValue(uint32_t v) const {
  if (v == 0) return FAT_FREE;
  uint32_t endChain, reservedLow;
  switch (m_nFileSystem) {
    case FS_FAT12: endChain = 0xFF8; reservedLow = 0xFF1; break;
    case FS_FAT16: endChain = 0xFFF8; reservedLow = 0xFFF1; break;
    case FS_FAT32: endChain = 0xFFFFFF8; reservedLow = 0xFFFFFF1; break;
    default: return FAT_IN_USE;
  }
  if (v >= endChain) return FAT_END_OF_CHAIN;
  if (v >= reservedLow) return FAT_RESERVED;
  return FAT_IN_USE;
}
