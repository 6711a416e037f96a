// NTFS volumes.
//
// Format notes: the boot sector names the sector and cluster size, the volume's sector
// count, the MFT's first cluster and the size of one MFT record (offset 0x40: below
// 0x80 a count of clusters, otherwise a power of two in bytes, 0xF6 giving 1024).
#pragma once

#include "device/Driver.h"

struct NtfsGeometry {
  uint32_t nBytesPerSector = 0;
  uint32_t nSectorsPerCluster = 0;
  uint64_t nTotalSectors = 0;
  uint64_t nMftCluster = 0;
  uint32_t nRecordSize = 0;
};

enum class NtfsBootCheck { Ok, NoSignature, NotNtfs, BadSectorSize, BadClusterSize, BadRecordSize };

// Recognition: "NTFS    " at offset 3 followed by a zero byte, 512 or 1024 bytes per
// sector, 1 to 128 sectors per cluster (a power of two) and the 0xAA55 signature; also a
// record size from 256 bytes to 64 KiB, so that a record can be read at all.
NtfsBootCheck ParseNtfsBootSector(const uint8_t* boot, NtfsGeometry& g);

class CNTFSDriver : public CLogicalDriver {
 public:
  CNTFSDriver();
  uint64_t ClusterToSector(uint64_t cluster) override;
  bool ReadGeometry() override;
  bool Open(uint8_t device, int32_t driveType, const std::u16string& name, bool sharedHandle) override;
  bool Attach(DeviceHandle handle, const uint8_t* bootSector, uint64_t sectorOffset) override;

  uint32_t m_nRecordSize = 0;
  NtfsGeometry m_geometry;
};
