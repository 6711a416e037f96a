#include "fat/FATDriver.h"

#include "fat/FATLayout.h"
#include "platform/ByteReader.h"
#include "platform/Checked.h"

using namespace fatlayout;

FatBootCheck CheckFatBootSector(const uint8_t* boot) {
  if (bytes::RawLE16(boot + kSignature) != kBootSignature) return FatBootCheck::NoSignature;
  uint32_t product = uint32_t(bytes::RawLE16(boot + kBytesPerSector)) * boot[kSectorsPerCluster];
  if (product > kMaxBytesPerCluster) return FatBootCheck::ClusterTooLarge;
  return FatBootCheck::Ok;
}

FatBootCheck ParseFatGeometry(const uint8_t* boot, FatGeometry& g) {
  if (FatBootCheck c = CheckFatBootSector(boot); c != FatBootCheck::Ok) return c;
  g = FatGeometry{};
  g.nBytesPerSector = bytes::RawLE16(boot + kBytesPerSector);
  g.nSectorsPerCluster = boot[kSectorsPerCluster];
  g.nReservedSectors = bytes::RawLE16(boot + kReservedSectors);
  g.nNumberOfFats = boot[kNumberOfFats];
  g.nRootEntryCount = bytes::RawLE16(boot + kRootEntryCount);
  uint32_t fat16 = bytes::RawLE16(boot + kSectorsPerFat16);
  g.nSectorsPerFat = fat16 ? fat16 : bytes::RawLE32(boot + kSectorsPerFat32);
  uint32_t total16 = bytes::RawLE16(boot + kTotalSectors16);
  g.nTotalSectors = total16 ? total16 : bytes::RawLE32(boot + kTotalSectors32);
  g.nRootClusterField = bytes::RawLE32(boot + kRootCluster);
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
  CreateRoot();
  return true;
}
