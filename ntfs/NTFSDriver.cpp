#include "ntfs/NTFSDriver.h"

#include <cstring>

#include "ntfs/NTFSLayout.h"
#include "platform/ByteReader.h"

using namespace ntfslayout;

NtfsBootCheck ParseNtfsBootSector(const uint8_t* boot, NtfsGeometry& g) {
  if (bytes::RawLE16(boot + kSignature) != kBootSignature) return NtfsBootCheck::NoSignature;
  if (std::memcmp(boot + kOemId, "NTFS    ", 8) != 0 || boot[kOemId + 8] != 0) return NtfsBootCheck::NotNtfs;
  g = NtfsGeometry{};
  g.nBytesPerSector = bytes::RawLE16(boot + kBytesPerSector);
  if (g.nBytesPerSector != 512 && g.nBytesPerSector != 1024) return NtfsBootCheck::BadSectorSize;
  g.nSectorsPerCluster = boot[kSectorsPerCluster];
  uint32_t spc = g.nSectorsPerCluster;
  if (spc == 0 || spc > 128 || (spc & (spc - 1)) != 0) return NtfsBootCheck::BadClusterSize;
  g.nTotalSectors = bytes::RawLE64(boot + kTotalSectors);
  g.nMftCluster = bytes::RawLE64(boot + kMftCluster);
  uint32_t v = bytes::RawLE32(boot + kClustersPerRecord);
  uint64_t cluster = uint64_t(g.nBytesPerSector) * spc;
  uint64_t record = 0;
  if (v < 0x80) {
    record = uint64_t(v) * cluster;
  } else {
    uint32_t shift = 256 - (v & 0xFF);
    if ((v & 0xFFFFFF00u) == 0 && shift < 32) record = uint64_t(1) << shift;
  }
  if (record < 256 || record > 65536) return NtfsBootCheck::BadRecordSize;
  g.nRecordSize = static_cast<uint32_t>(record);
  return NtfsBootCheck::Ok;
}

CNTFSDriver::CNTFSDriver() { m_nFileSystem = FS_NTFS; }

uint64_t CNTFSDriver::ClusterToSector(uint64_t cluster) { return cluster * m_nSectorsPerCluster; }

bool CNTFSDriver::ReadGeometry() {
  if (!ReadBootSector()) return false;
  NtfsGeometry g;
  return ParseNtfsBootSector(m_bootSector, g) == NtfsBootCheck::Ok;
}

bool CNTFSDriver::Attach(DeviceHandle handle, const uint8_t* bootSector, uint64_t sectorOffset) {
  return AttachBootSector(std::move(handle), bootSector, sectorOffset);
}

bool CNTFSDriver::Open(uint8_t device, int32_t driveType, const std::u16string& name, bool sharedHandle) {
  if (!CLogicalDriver::Open(device, driveType, name, sharedHandle)) return false;
  if (!m_bSharedHandle && !ReadGeometry()) return false;
  NtfsGeometry g;
  if (ParseNtfsBootSector(m_bootSector, g) != NtfsBootCheck::Ok) return false;
  m_geometry = g;
  m_nBytesPerSector = g.nBytesPerSector;
  m_nSectorsPerCluster = g.nSectorsPerCluster;
  m_nBytesPerCluster = g.nBytesPerSector * g.nSectorsPerCluster;
  m_nRecordSize = g.nRecordSize;
  m_nRootCluster = 0;
  m_nFirstDataSector = 0;
  m_nRootSector = 0;
  m_nClusterCount = g.nTotalSectors / g.nSectorsPerCluster;
  m_nFirstUnit = 0;
  m_nLastUnit = m_nClusterCount;
  m_pUnitBuffer.assign(m_nBytesPerCluster, 0);
  CreateRoot();
  return true;
}
