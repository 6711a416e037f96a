// Opening an exFAT volume: the boot region, the geometry, the FAT and the allocation bitmap.
//
// Format notes: the main boot region is sectors 0-11, the backup 12-23; each carries the
// checksum of its first eleven sectors in every word of its twelfth. The main region is
// used when its checksum holds, else the backup when its checksum holds and its boot
// sector parses; a volume with neither is not opened. Traps:
// - The shifts allow sectors of 512 to 4096 bytes; the boot sector the parsers read is the
//   first 512 bytes whatever the sector size.
// - A lost volume's handle is the whole disk, shifted in 512-byte sectors. A volume whose
//   sectors are larger reads through a slice of the disk instead (a handle of its own, not
//   shifted), so every sector number stays the volume's own.
// - The allocation bitmap is named by an entry of the root folder. It is read whole, once,
//   the first time a status needs it (ClusterCount / 8 bytes: 2 MiB for 16 million
//   clusters); a bitmap the volume cannot hold or read leaves every cluster "not known to
//   be in use".
#include "exfat/ExFATDriver.h"

#include <algorithm>
#include <new>

#include "deepscan/ResultNodes.h"
#include "exfat/ExFATDirectory.h"
#include "platform/ByteReader.h"
#include "platform/Checked.h"
#include "platform/LocalTime.h"

using namespace exfatlayout;
using namespace exfatdir;

CExFATDriver::CExFATDriver() { m_nFileSystem = FS_EXFAT; }

uint64_t CExFATDriver::ClusterToSector(uint64_t cluster) {
  // Clusters 0 and 1 do not exist; they map to the heap's start without wrapping.
  if (cluster < 2) return m_nFirstDataSector;
  return (cluster - 2) * m_nSectorsPerCluster + m_nFirstDataSector;
}

bool CExFATDriver::ReadGeometry() {
  if (!ReadBootSector()) return false;
  return CheckExFatBootSector(m_bootSector) == ExFatBootCheck::Ok;
}

bool CExFATDriver::Attach(DeviceHandle handle, const uint8_t* bootSector, uint64_t sectorOffset) {
  return AttachBootSector(std::move(handle), bootSector, sectorOffset);
}

bool CExFATDriver::Open(uint8_t device, int32_t driveType, const std::u16string& name, bool sharedHandle) {
  if (!CLogicalDriver::Open(device, driveType, name, sharedHandle)) return false;
  if (!m_bSharedHandle && !ReadGeometry()) return false;
  ExFatGeometry g;
  if (ParseExFatGeometry(m_bootSector, g) != ExFatBootCheck::Ok) return false;
  if (m_bSharedHandle && g.nBytesPerSector != 512) {
    // The disk's handle counts 512-byte sectors; this volume's sector numbers are larger.
    auto offset = checked::Mul<uint64_t>(m_nSectorOffset, 512);
    if (!offset || !m_hDevice || *offset > m_hDevice->Size()) return false;
    m_hDevice = CRawDevice::Slice(m_hDevice, *offset, m_hDevice->Size() - *offset);
    if (!m_hDevice) return false;
    // Reads no longer shift; m_nSectorOffset still says where the volume lies on the disk,
    // and m_source (the disk's path and that offset) where its bytes come from.
    m_bSharedHandle = false;
  }
  // The boot region's checksum: the main region, else the backup.
  const uint32_t bps = g.nBytesPerSector;
  std::vector<uint8_t> region(size_t(bps) * kBootRegionSectors);
  bool ok = ReadSectors(0, region.data(), bps, kBootRegionSectors) && VerifyExFatBootRegion(region, bps);
  if (!ok) {
    ExFatGeometry backup;
    ok = ReadSectors(kBackupBootSector, region.data(), bps, kBootRegionSectors) &&
         VerifyExFatBootRegion(region, bps) &&
         ParseExFatGeometry(ExFatBootBytes(region.data(), kBootSectorSize), backup) == ExFatBootCheck::Ok &&
         backup.nBytesPerSector == bps;
    if (!ok) return false;
    std::copy(region.begin(), region.begin() + kBootSectorSize, m_bootSector);
    g = backup;
    m_bUsedBackupBoot = true;
  }
  m_geometry = g;
  m_nClusterCount = g.nClusterCount;
  m_nFirstDataSector = g.nClusterHeapOffset;
  m_nRootCluster = uint32_t(g.nRootCluster);
  m_nRootSector = ClusterToSector(g.nRootCluster);
  m_nFirstUnit = 2;
  m_nLastUnit = g.nClusterCount + 1;
  m_nBytesPerSector = g.nBytesPerSector;
  m_nSectorsPerCluster = g.nSectorsPerCluster;
  m_nBytesPerCluster = g.nBytesPerCluster;
  m_nRootSector = ClusterToSector(g.nRootCluster);
  m_pUnitBuffer.assign(m_nBytesPerCluster, 0);
  m_pDirCache.assign(m_nBytesPerSector, 0);
  m_pFatCache.assign(m_nBytesPerSector, 0);
  CreateRoot();
  return true;
}

void CExFATDriver::CreateRoot() {
  auto* root = new CExFATDirectory();
  root->m_pDriver = this;
  root->m_strName = m_szName;
  root->m_nStatus = STATUS_EXISTING;
  root->m_place = RootPlace();
  m_pRoot = root;
  auto lost = std::make_unique<CExFATDirectory>();
  InitResultsFolder(*lost, this, u"LostFiles", localtime_::Now());
  lost->m_bEnterable = false;
  m_pLostFolder = static_cast<CDirectory*>(root->AddChild(std::move(lost)));
}

uint32_t CExFATDriver::GetFatEntry(uint64_t n) {
  if (!IsClusterNumber(n) || m_pFatCache.size() < m_nBytesPerSector || m_nBytesPerSector == 0) return 0;
  const uint64_t offset = 4 * n;
  const uint64_t s = m_geometry.nFatOffset + offset / m_nBytesPerSector;
  if (s != m_nFatCacheSector) {
    if (!ReadSectors(s, m_pFatCache.data(), m_nBytesPerSector, 1)) {
      m_nFatCacheSector = UINT64_MAX;
      return 0;
    }
    m_nFatCacheSector = s;
  }
  return bytes::RawLE32(m_pFatCache.data() + offset % m_nBytesPerSector);
}

void CExFATDriver::LoadRootMetadata() {
  if (m_bMetadataLoaded) return;
  m_bMetadataLoaded = true;
  ExFatDirWalk walk(RootPlace());
  uint8_t e[kEntrySize];
  ExFatItemKind kind;
  ExFatEntrySet set;
  bool haveBitmap = false, haveUpcase = false, haveLabel = false;
  // The three entries stand at the root's start; a damaged root is not searched to its end
  // for them.
  for (int items = 0; items < 64 && NextDirItem(walk, false, kind, set, e); ++items) {
    const ExFatEntryBytes entry(e);
    if (kind == ExFatItemKind::Bitmap && !haveBitmap) {
      // A volume of two FATs has two bitmaps; bit 0 of the flags marks the second.
      if (entry[kBitmapFlags] & 1) continue;
      m_nBitmapCluster = LE32<kDataFirstCluster>(entry);
      m_nBitmapLength = LE64<kDataLength>(entry);
      haveBitmap = true;
    } else if (kind == ExFatItemKind::Upcase && !haveUpcase) {
      m_nUpcaseCluster = LE32<kDataFirstCluster>(entry);
      m_nUpcaseLength = LE64<kDataLength>(entry);
      haveUpcase = true;
    } else if (kind == ExFatItemKind::Label && !haveLabel) {
      const unsigned n = std::min<unsigned>(entry[kLabelLength], kMaxLabelChars);
      m_strLabel.clear();
      for (unsigned k = 0; k < n; ++k) m_strLabel.push_back(char16_t(bytes::RawLE16(e + kLabelChars + 2 * k)));
      haveLabel = true;
    }
    if (haveBitmap && haveUpcase && haveLabel) break;
  }
  if (!haveBitmap) return;
  // The bitmap holds one bit per cluster; a longer one is read no further than that.
  const uint64_t need = (m_nClusterCount + 7) / 8;
  if (m_nBitmapLength < need) return;
  std::vector<ExFatRun> runs;
  // Its stream has no flags: its clusters follow the FAT (mkfs makes them one run and links
  // them); a chain that is not whole is read in a row.
  if (PlanData(m_nBitmapCluster, need, false, false, runs) != ExFatDataPlan::FatChain &&
      PlanData(m_nBitmapCluster, need, true, false, runs) != ExFatDataPlan::Contiguous)
    return;
  try {
    m_bitmap.assign(need, 0);
  } catch (const std::bad_alloc&) {
    return;
  }
  m_bBitmapValid = ReadRuns(runs, 0, m_bitmap.data(), need);
  if (!m_bBitmapValid) m_bitmap.clear();
}

bool CExFATDriver::IsClusterAllocated(uint64_t c) {
  if (!IsClusterNumber(c)) return true;
  LoadRootMetadata();
  if (!m_bBitmapValid) return false;
  return TestBit(m_bitmap.data(), c - 2);
}
