// FAT12/16/32 volumes.
//
// Format notes: the BIOS parameter block in sector 0 gives the geometry; the FAT width
// follows from the number of data clusters alone (fewer than 4085: FAT12, fewer than
// 65525: FAT16, else FAT32), never from the type text of the boot sector. Valid
// cluster numbers are 2 to m_nClusterCount + 1. Every quantity derived from the boot
// sector is computed with checked arithmetic: a boot sector whose counts are zero or
// whose overhead exceeds the volume makes the open fail.
#pragma once

#include "device/Driver.h"

// The geometry a FAT boot sector describes.
struct FatGeometry {
  uint32_t nBytesPerSector = 0;
  uint32_t nSectorsPerCluster = 0;
  uint32_t nReservedSectors = 0;
  uint32_t nNumberOfFats = 0;
  uint32_t nRootEntryCount = 0;
  uint32_t nRootDirSectors = 0;   // sectors of the fixed root region
  uint32_t nSectorsPerFat = 0;
  uint32_t nTotalSectors = 0;
  uint32_t nRootClusterField = 0;
  uint64_t nClusterCount = 0;
  uint64_t nFirstDataSector = 0;
  int32_t nFileSystem = -1;       // FS_FAT12, FS_FAT16 or FS_FAT32
};

enum class FatBootCheck { Ok, NoSignature, ClusterTooLarge, ZeroGeometry, OverheadExceedsVolume };

// Whether 512 bytes are a FAT boot sector the volume accepts: the 0xAA55 signature and
// a cluster of at most 32,768 bytes.
FatBootCheck CheckFatBootSector(const uint8_t* boot);
// Derives the geometry; false (with the reason) when the counts cannot form a volume.
FatBootCheck ParseFatGeometry(const uint8_t* boot, FatGeometry& g);

class CFATDriver : public CLogicalDriver {
 public:
  CFATDriver();
  uint64_t ClusterToSector(uint64_t cluster) override;
  bool ReadGeometry() override;
  bool Open(uint8_t device, int32_t driveType, const std::u16string& name, bool sharedHandle) override;
  bool Attach(DeviceHandle handle, const uint8_t* bootSector, uint64_t sectorOffset) override;

  uint8_t m_nChainFat = 1;
  uint64_t m_nDataSectors = 0;  // total sectors minus the first data sector
  FatGeometry m_geometry;
};
